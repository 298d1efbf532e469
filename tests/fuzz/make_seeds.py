"""Writes the fuzzer's seed corpus: small programs that reach every kind of call.

Run once to regenerate corpus/; the fuzzer itself keeps what it finds elsewhere.
"""

import pathlib
import random

CORPUS = pathlib.Path(__file__).with_name("corpus")

# Lane bytes: 0..12 pick special values (0, -0, 1, -1, 0.5, NaN, +inf, -inf,
# max, -max, denorm_min, 1e-300, 1e300); 13..239 are small numbers.
ONE, TWO, HALF, NAN, ZERO = 136, 144, 132, 5, 0


def lanes(dimension, *values):
    values = list(values) + [ONE] * (4 - len(values))
    return [dimension] + values


def program(*steps):
    return bytes(b for step in steps for b in step)


SEEDS = {
    "arithmetic": program(
        [1] + lanes(2, ONE, TWO) + [1, 0],  # slot 0: parameter (1, 2)
        [0] + lanes(1, HALF) + [1],  # slot 1: constant 0.5
        [3, 0, 0, 1, 2],  # slot 2: slot0 + slot1
        [11, 2],  # evaluate slot 2
        [12, 2, 0] + lanes(2, ONE, ONE),  # backward with seed (1, 1)
        [13, 2],
    ),  # zero_grad
    "folding": program(
        [0] + lanes(3, ONE, TWO, HALF) + [0],
        [0] + lanes(1, ZERO) + [1],
        [3, 3, 0, 1, 2],  # divide by a zero constant
        [6, 1, 0, 3],
        [6, 2, 0, 4],
    ),  # sin and cos of a constant
    "placeholders": program(
        [2, 3, 1] + lanes(3, ONE, NAN, TWO) + [0],  # undefined with a NaN hint
        [2, 2, 1] + lanes(2, ONE, TWO) + [1],
        [7, 1, 1, 2],
        [11, 2],
        [12, 2, 1] + lanes(1),
    ),
    "vectors": program(
        [1] + lanes(1, ONE) + [1, 0],
        [1] + lanes(1, TWO) + [1, 1],
        [8, 1, 0, 1, 0, 1, 2],  # vec3 of parameters
        [7, 2, 1, 3],
        [12, 3, 1] + lanes(1),
        [10, 0] + lanes(1, NAN),
    ),
    "raw_nodes": program(
        [1] + lanes(2, ONE, TWO) + [2, 0],
        [9, 1, 2, 1, 0, 0, 0, 0, 0, 0, 0, 3, 0, 1],  # a Pack of a vector
        [11, 1],
        [9, 2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1, 7, 2],
        [12, 2, 1] + lanes(1),
    ),
    "functions": program(
        [1] + lanes(2, ONE, TWO) + [1, 0],  # slot 0: parameter (1, 2)
        [1] + lanes(1, HALF) + [1, 1],  # slot 1: parameter 0.5
        [3, 2, 0, 1, 2],  # slot 2: slot0 * slot1
        [6, 1, 2, 3],  # slot 3: sin(slot 2)
        [
            16,
            2,
            0,
            1,
            1,
            2,
            3,
            ONE,
            TWO,
            HALF,  # a function of slots 0 and 1 to slots 2 and 3,
            2,
            0,
            NAN,
            0,
        ],  # three rows, a NaN in the second, parameters given
        [2, 1, 1] + lanes(1) + [4],  # slot 4: a placeholder
        [3, 2, 4, 1, 5],  # slot 5: slot4 * slot1
        [16, 1, 1, 0, 5],
    ),  # refused: the placeholder is not an input
    "nested": program(
        [1] + lanes(1, HALF) + [0, 0],
        [15, 0, 7],
        [15, 0, 7],
        [15, 0, 7],
        [11, 0],
        [12, 0, 1] + lanes(1),
        [13, 0],
        [14, 0],
    ),
}


def main():
    CORPUS.mkdir(exist_ok=True)
    for name, data in SEEDS.items():
        (CORPUS / name).write_bytes(data)
    generator = random.Random(20261210)
    for index in range(6):
        (CORPUS / f"random-{index}").write_bytes(bytes(generator.randrange(256) for _ in range(200)))


if __name__ == "__main__":
    main()
