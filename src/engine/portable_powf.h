// A single-precision power function with the bits of the Linux C library's powf on every
// system. That powf is accurate to 0.82 units in the last place, not correctly rounded, and
// other C libraries round differently for about one argument in 1600, which would change the
// Lab statistics and so every entry of a match. Its algorithm (a table-driven log2, then exp2,
// in double) is written out here so that Windows builds compute as Linux builds do.
#pragma once

// x^y for every x and y; arguments outside the positive normal floats, and results beyond the
// float range, go to the system's powf, which gives the same exact special values.
float portablePowf(float x, float y);

// t^0.33333334, the Lab conversion's cube root: the C library's powf on Linux, portablePowf
// elsewhere (lab_pow_<system>.cpp).
float labPowf(float t);
