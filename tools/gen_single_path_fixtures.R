# Writes tests/data/single_path_samples.txt: R's sample.int(N, k) draws on the
# L'Ecuyer-CMRG stream, the reference for the single-pathway permutation path.
# Run from the repository root with R 4.2.2: Rscript tools/gen_single_path_fixtures.R
#
# Each case is a header line "case <seed> <N> <k> <B>" followed by B lines, one
# per permutation, holding the k drawn 1-based positions in draw order.
RNGkind("L'Ecuyer-CMRG", sample.kind = "Rejection")
cases <- list(
  c(seed = 1, n = 40, k = 7, b = 60),
  c(seed = 42, n = 200, k = 15, b = 80),
  c(seed = 999999999, n = 1000, k = 120, b = 40),
  c(seed = 123456789, n = 25, k = 24, b = 50),
  c(seed = 1000000000, n = 5000, k = 3, b = 100)
)
out <- file("tests/data/single_path_samples.txt", "w")
for (cs in cases) {
  set.seed(cs[["seed"]])
  writeLines(sprintf("case %.0f %d %d %d", cs[["seed"]], cs[["n"]], cs[["k"]], cs[["b"]]), out)
  for (i in seq_len(cs[["b"]])) {
    writeLines(paste(sample.int(cs[["n"]], cs[["k"]]), collapse = " "), out)
  }
}
close(out)
