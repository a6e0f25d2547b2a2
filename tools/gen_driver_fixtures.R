# Fixtures of the engine driver's random streams, from R's own generators.
#
# Writes into tests/data/ (run from the repository root with R 4.2.2):
#   driver_batch_seeds.tsv    seed, nperm, batch sizes and R's batch seeds:
#                             set.seed(seed mod 2^32); sample.int(1e9, nb, replace = TRUE)
#   driver_refine_seeds.tsv   seed, groups G, the multilevel batch seed and the
#                             refinement seed: set.seed; sample.int(1e9, 1);
#                             sample.int(G); sample.int(1e9, 1)
#   driver_single_path.tsv    the ranked scores and the single pathway of the
#                             end-to-end case, then per permutation the
#                             positions R's L'Ecuyer-CMRG stream draws for it
#                             (one line per permutation, batch after batch)
# Usage: Rscript tools/gen_driver_fixtures.R
RNGkind("Mersenne-Twister", "Inversion", "Rejection")

# R seeds are signed 32-bit integers: an unsigned seed s >= 2^31 is s - 2^32.
r_seed <- function(s) {
  s <- s %% 2^32
  if (s >= 2^31) s - 2^32 else s
}

batch_sizes <- function(nperm) {
  per <- max(ceiling(nperm / 128), 1000)
  full <- floor(nperm / per)
  rest <- nperm - full * per
  sizes <- rep(per, full)
  if (rest > 0) sizes <- c(sizes, rest)
  sizes
}

out <- file("tests/data/driver_batch_seeds.tsv", "w")
writeLines("# seed\tnperm\tbatch sizes (comma-separated)\tbatch seeds (comma-separated)", out)
seeds <- c(0, 1, 42, 123456789, 4294967295, 2147483647, 4294967296 + 7)
for (s in seeds) {
  for (nperm in c(1, 999, 1000, 2500, 128001, 200000)) {
    sizes <- batch_sizes(nperm)
    RNGkind("Mersenne-Twister", "Inversion", "Rejection")
    set.seed(r_seed(s))
    bs <- sample.int(1e9, length(sizes), replace = TRUE)
    writeLines(sprintf("%s\t%d\t%s\t%s", format(s, scientific = FALSE), nperm,
                       paste(format(sizes, scientific = FALSE, trim = TRUE), collapse = ","),
                       paste(bs, collapse = ",")), out)
  }
}
close(out)

out <- file("tests/data/driver_refine_seeds.tsv", "w")
writeLines("# seed\tgroups\tbatch seed\trefinement seed", out)
for (s in c(0, 1, 42, 123456789, 4294967295)) {
  for (g in c(1, 2, 3, 7, 40, 300)) {
    RNGkind("Mersenne-Twister", "Inversion", "Rejection")
    set.seed(r_seed(s))
    b <- sample.int(1e9, 1)
    invisible(sample.int(g))
    r <- sample.int(1e9, 1)
    writeLines(sprintf("%s\t%d\t%d\t%d", format(s, scientific = FALSE), g, b, r), out)
  }
}
close(out)

# End-to-end case: 40 genes with scores of three decimals, one pathway of 7
# genes; nperm 2500 (batches of 1000, 1000, 500), engine seed 20240607.
RNGkind("Mersenne-Twister", "Inversion", "Rejection")
set.seed(7)
n <- 40
scores <- round(rnorm(n) * 2, 3)
genes <- sprintf("g%02d", seq_len(n))
pathway <- genes[c(3, 8, 11, 19, 25, 26, 37)]
engine_seed <- 20240607
nperm <- 2500
sizes <- batch_sizes(nperm)
set.seed(r_seed(engine_seed))
bs <- sample.int(1e9, length(sizes), replace = TRUE)
out <- file("tests/data/driver_single_path.tsv", "w")
writeLines(paste(c("genes", genes), collapse = "\t"), out)
writeLines(paste(c("scores", sprintf("%.3f", scores)), collapse = "\t"), out)
writeLines(paste(c("pathway", pathway), collapse = "\t"), out)
writeLines(sprintf("seed\t%d\nnperm\t%d", engine_seed, nperm), out)
writeLines(paste(c("batch_seeds", bs), collapse = "\t"), out)
k <- length(pathway)
for (b in seq_along(sizes)) {
  RNGkind("L'Ecuyer-CMRG", "Inversion", "Rejection")
  set.seed(bs[b])
  for (p in seq_len(sizes[b])) {
    writeLines(paste(sample.int(n, k, useHash = FALSE), collapse = "\t"), out)
  }
}
close(out)
