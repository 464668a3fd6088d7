// The studentized range distribution: the range of k independent standard
// normal values divided by an independent estimate of their standard
// deviation with df degrees of freedom. Tukey's HSD compares means with it.
// Boost.Math has no such distribution.
#pragma once

// P(Q > q) for k >= 2 groups and df > 0 (infinite: the standard deviation
// known). 1 for q <= 0.
double studentized_range_sf(double q, int k, double df);
// P(Q <= q).
double studentized_range_cdf(double q, int k, double df);
// The q with P(Q <= q) = p, for 0 < p < 1.
double studentized_range_quantile(double p, int k, double df);
