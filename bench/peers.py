"""The same workloads written the way a NumPy or torchhd user would write them."""
import numpy as np

TWO_PI = 2.0 * np.pi


# ---------------------------------------------------------------- NumPy
def np_random(dim, n, seed):
    return np.random.default_rng(seed).integers(0, n, size=dim)


def np_bind(a, b, n):
    return (a + b) % n


def np_unbind(a, b, n):
    return (a - b) % n


def np_similarity(a, b, n):
    return float(np.mean(np.cos((a - b) * (TWO_PI / n))))


def np_bundle(stacked, n):
    """stacked: (items, dim) phase indices; direction of the summed unit phasors."""
    total = np.exp(1j * (stacked * (TWO_PI / n))).sum(axis=0)
    return np.rint(np.angle(total) / TWO_PI * n).astype(np.int64) % n


def np_unit_phasors(phases, n):
    return np.exp(1j * (phases * (TWO_PI / n)))


def np_cleanup(query, unit):
    """query: (dim,) unit phasors; unit: (items, dim), precomputed. One product."""
    sims = (unit @ query.conj()).real / query.shape[0]
    return int(np.argmax(sims))


def np_snap(z, n):
    k = np.rint(np.angle(z) / TWO_PI * n) % n
    return np.exp(1j * (k * (TWO_PI / n)))


def np_resonator(composite, books, n, max_iter):
    """composite: (dim,) complex128 phasors; books: list of (M, dim) complex128.

    The same sequential resonator as tesmerine: snapped initial superpositions,
    unbinding of every other estimate, BLAS matrix-vector products for the
    weights and the weighted superposition, the same stopping rule.
    """
    estimates = [np_snap(book.sum(axis=0), n) for book in books]
    conj_books = [book.conj() for book in books]
    previous, stable = None, 0
    for _ in range(max_iter):
        for f, book in enumerate(books):
            w = composite.copy()
            for g, e in enumerate(estimates):
                if g != f:
                    w *= e.conj()
            weights = (book @ w.conj()).real
            estimates[f] = np_snap(weights @ book, n)
        current = [int(np.argmax((cb @ e).real)) for cb, e in zip(conj_books, estimates)]
        if current == previous:
            if stable > 1:
                break
            stable += 1
        else:
            stable = 0
        previous = current
    dim = composite.shape[0]
    result = []
    for cb, e in zip(conj_books, estimates):
        sims = (cb @ e).real / dim
        j = int(np.argmax(sims))
        result.append((j, float(sims[j])))
    return result


# ---------------------------------------------------------------- tesmerine
def cleanup_loop(query, memory):
    """The most similar stored vector, by a Python loop over similarity."""
    sims = [query.similarity(m) for m in memory]
    return max(range(len(sims)), key=sims.__getitem__)


# ---------------------------------------------------------------- torchhd
def th_random(vsa, dim, n, seed):
    import torch
    import torchhd

    generator = torch.Generator().manual_seed(seed)
    if vsa == "MCR":
        return torchhd.random(1, dim, "MCR", block_size=n, generator=generator)[0]
    return torchhd.random(1, dim, vsa, generator=generator)[0]


def th_bind(a, b):
    import torchhd

    return torchhd.bind(a, b)


def th_unbind(a, b):
    import torchhd

    return torchhd.bind(a, torchhd.inverse(b))


def th_similarity(a, b):
    import torchhd

    return float(torchhd.cosine_similarity(a, b))


def th_cleanup(query, memory):
    import torchhd

    return int(torchhd.cosine_similarity(query, memory).argmax())


def th_bundle(stacked):
    import torchhd

    return torchhd.normalize(torchhd.multiset(stacked))


def th_map_resonator(composite, domains, max_iter):
    """torchhd's resonator step in a loop on MAP vectors; domains: (F, M, dim)."""
    import torchhd

    estimates = torchhd.multiset(domains)
    for _ in range(max_iter):
        estimates = torchhd.resonator(composite, estimates, domains)
    sims = torchhd.dot_similarity(estimates.unsqueeze(-2), domains).squeeze(-2)
    return sims.argmax(dim=-1).tolist()
