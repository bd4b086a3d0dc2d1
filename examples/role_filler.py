"""Role-filler records: each record is a bundle of bound (key, value) pairs.

A record such as {name: alice, city: paris, job: chemist} becomes
bundle([name*alice, city*paris, job*chemist]). Unbinding a key from the record
leaves a noisy copy of its value, which the nearest entry of the value
codebook cleans up.

    python examples/role_filler.py
"""

from __future__ import annotations

import argparse
import sys

from tesmerine import PhaseHVec

DIM, N = 2048, 256

RECORDS = [
    {"name": "alice", "city": "paris", "job": "chemist", "pet": "cat"},
    {"name": "bob", "city": "lima", "job": "pilot", "pet": "dog"},
    {"name": "carol", "city": "oslo", "job": "chemist", "pet": "parrot"},
    {"name": "dave", "city": "paris", "job": "baker", "pet": "none"},
]


def codebook(words: list[str], first_seed: int) -> dict[str, PhaseHVec]:
    """One seeded random vector per word; seeds are consecutive from first_seed."""
    return {word: PhaseHVec.random(DIM, N, first_seed + i) for i, word in enumerate(words)}


def encode(record: dict[str, str], keys: dict[str, PhaseHVec], values: dict[str, PhaseHVec]) -> PhaseHVec:
    return PhaseHVec.bundle([keys[k].bind(values[v]) for k, v in record.items()])


def query(record: PhaseHVec, key: PhaseHVec, values: dict[str, PhaseHVec]) -> tuple[str, float]:
    """The value whose vector is most similar to the record with `key` unbound."""
    noisy = record.unbind(key)
    scores = {word: noisy.similarity(vector) for word, vector in values.items()}
    best = max(scores, key=lambda word: scores[word])
    return best, scores[best]


def main(argv: list[str]) -> None:
    argparse.ArgumentParser(description="Key-value records as bundles of bound pairs, read back by unbinding; "
                            "takes no arguments.").parse_args(argv)
    key_words = sorted({k for record in RECORDS for k in record})
    value_words = sorted({v for record in RECORDS for v in record.values()})
    keys = codebook(key_words, first_seed=1)
    values = codebook(value_words, first_seed=1000)
    encoded = [encode(record, keys, values) for record in RECORDS]

    correct = total = 0
    for record, vector in zip(RECORDS, encoded):
        answers: list[str] = []
        for key in key_words:
            word, score = query(vector, keys[key], values)
            answers.append(f"{key}={word} ({score:.3f})")
            correct += word == record[key]
            total += 1
        print(f"{record['name']:6s} " + "  ".join(answers))

    # The other way round: which records contain the pair city*paris? A bundle
    # stays similar to each of its members and not to anything else.
    pair = keys["city"].bind(values["paris"])
    scores = [vector.similarity(pair) for vector in encoded]
    print("similarity to city*paris: " + "  ".join(
        f"{record['name']}={score:+.3f}" for record, score in zip(RECORDS, scores)))
    print("lives in paris: " + ", ".join(
        record["name"] for record, score in zip(RECORDS, scores) if score > 0.2))
    print(f"{correct} of {total} queries answered correctly")


if __name__ == "__main__":
    main(sys.argv[1:])
