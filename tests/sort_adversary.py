"""Inputs built against the pivots of telvaran's vector sort (the AVX-512 kernels).

That sort is a quicksort: it takes as pivot the upper median of one register of
keys sampled at even steps over the part it sorts, moves the keys below the pivot
to the left with compressed stores from both ends, sorts the smaller part by a
call and goes on with the larger one. `crafted` replays it on the positions of
the items: at every partition the items sampled there get the least values not
yet given, so that only a few keys fall below the pivot, and the partition is
followed to where it moves every item. Items never sampled get the other values
in random order. The input is therefore an arrangement of the same values as a
random input, which makes the two directly comparable.

The replay mirrors the kernel's constants; if the kernel changes, so must this.
"""

import math

REGISTER_BYTES = 64
BLOCK_REGISTERS = 16    # keys up to this many registers are sorted by a network
NARROW_GROUP = 4        # registers read at a time by a partition...
WIDE_GROUP = 8          # ...and from this many keys on
WIDE_GROUP_FROM = 1 << 14
UNASSIGNED = 1 << 62    # an item not yet given a value: above every given one


def distinct_values(np, dtype, n, rng):
    """n distinct random values of the dtype in ascending order: integers over the
    type's whole range, floats from a standard normal distribution."""
    dtype = np.dtype(dtype)
    values = np.empty(0, dtype)
    while len(values) < n:
        if dtype.kind == "f":
            more = rng.standard_normal(2 * n).astype(dtype)
        else:
            info = np.iinfo(dtype)
            more = rng.integers(info.min, info.max, 2 * n, dtype=dtype, endpoint=True)
        values = np.unique(np.concatenate([values, more]))
    return np.sort(rng.choice(values, n, replace=False))


def crafted(np, dtype, n, seed=0):
    """n distinct values of the dtype arranged so that every pivot of the vector sort
    sets aside only a few keys, for as many partitions as the old depth limit
    allowed (2 log2 n + 4)."""
    rng = np.random.default_rng(seed)
    values = distinct_values(np, dtype, n, rng)
    lanes = REGISTER_BYTES // np.dtype(dtype).itemsize
    rank = _ranks(np, n, lanes)
    unassigned = rank == UNASSIGNED
    rank[unassigned] = n - unassigned.sum() + rng.permutation(unassigned.sum())
    return values[rank]


def nested_majorities(np, dtype, n, share=0.88, seed=0):
    """n values of the dtype in random order: a share of them the greatest value, the
    same share of the rest the next greatest, and so on. Whatever keys a pivot is
    sampled from, it is its part's greatest value and sets aside the keys below it,
    fewer than an eighth: every partition on the way down is bad, so the parts there
    reach the vector sort's fallback."""
    rng = np.random.default_rng(seed)
    values = distinct_values(np, dtype, 64, rng)[::-1]
    counts = []
    rest = n
    while int(rest * share) > 0:
        counts.append(int(rest * share))
        rest -= counts[-1]
    counts.append(rest)
    return rng.permutation(np.repeat(values[:len(counts)], counts))


def _ranks(np, n, lanes):
    """The rank each item must have among the values; UNASSIGNED for those left free."""
    items = np.arange(n)          # the item at each position, as the sort moves them
    rank = np.full(n, UNASSIGNED, dtype=np.int64)
    given = 0
    start = 0
    for _ in range(2 * int(math.log2(n)) + 4):
        part = items[start:]
        if len(part) <= BLOCK_REGISTERS * lanes:
            break
        step = len(part) // lanes
        sampled = part[step // 2 + step * np.arange(lanes)]
        fresh = sampled[rank[sampled] == UNASSIGNED]
        rank[fresh] = given + np.arange(len(fresh))
        given += len(fresh)
        pivot = np.sort(rank[sampled])[lanes // 2]
        group = WIDE_GROUP if len(part) >= WIDE_GROUP_FROM else NARROW_GROUP
        below = _partition(np, part, rank, pivot, lanes, group)
        # The part below is small and sorted by a call; the loop goes on above it.
        start += below
    return rank


def _partition(np, keys, rank, pivot, lanes, group):
    """Moves the items of `keys` (a view, changed in place) as the kernel's partition
    moves them, items ranked below the pivot going left; returns how many did."""
    n, width = len(keys), group * lanes
    held = [keys[j * lanes:(j + 1) * lanes].copy() for j in range(group)]
    held += [keys[n - (j + 1) * lanes:n - j * lanes].copy() for j in range(group)]
    left, right = 0, n                           # written: [0, left) and [right, n)
    read_left, read_right = width, n - width     # unread: [read_left, read_right)

    def place(registers, whole):
        # Left items at the left end, each register's right items below the
        # right end. With `whole`, each register is written at the left end
        # whole: lanes past its left items hold zeros until later writes.
        nonlocal left, right
        goes_left = rank[registers] < pivot
        lefts = registers[goes_left]
        keys[left:left + len(lefts)] = lefts
        left += len(lefts)
        if whole:
            keys[left:left + lanes - goes_left[-1].sum()] = -1
        rights = registers[::-1][~goes_left[::-1]]
        right -= len(rights)
        keys[right:right + len(rights)] = rights

    def next_at(count):
        nonlocal read_left, read_right
        if read_left - left <= right - read_right:
            read_left += count
            return read_left - count
        read_right -= count
        return read_right

    # Unread keys stay where they are until read: where the low ones lie.
    lows = np.flatnonzero(rank[keys[read_left:read_right]] < pivot) + read_left
    while read_right - read_left >= width:
        if read_left - left > right - read_right:
            # Groups read from the right end without a low key leave both ends
            # their room, so the next groups come from there too: each moves
            # to the right end, its registers in reverse order.
            below = np.searchsorted(lows, read_right)
            count = (read_right - max(lows[below - 1] + 1 if below else 0, read_left)) // width
            if count > 1:
                moved = keys[read_right - count * width:read_right].reshape(count, group, lanes)[:, ::-1]
                keys[right - count * width:right] = moved.reshape(-1)
                read_right -= count * width
                right -= count * width
                continue
        at = next_at(width)
        place(keys[at:at + width].reshape(group, lanes).copy(), whole=True)
    while read_right - read_left >= lanes:
        at = next_at(lanes)
        place(keys[at:at + lanes].reshape(1, lanes).copy(), whole=True)
    place(keys[read_left:read_right].reshape(1, -1).copy(), whole=False)
    for register in held:
        place(register.reshape(1, -1), whole=False)
    assert left == right and (keys >= 0).all()
    return left
