# Random sets of the decor null as R 4.2.2 draws them:
#   RNGkind("L'Ecuyer-CMRG", sample.kind = "Rejection"); set.seed(s); sample.int(N, k)
# repeated `draws` times on one stream. The 32-bit seeds are the per-size group
# seeds of the engine (tools/gen_decor_engine_fixtures.py, seed32("group", k,
# seed)) for the end-to-end case (seed 42, N = 40, sizes 1, 3, 5, 7, 30 draws)
# and a few more (seed 7). Seeds >= 2^31 are passed as seed - 2^32, R's signed
# view of the same 32 bits.
#
# Output: tests/data/decor_r_draws.tsv with lines seed32 <tab> N <tab> k <tab>
# draw <tab> values separated by ';' (1-based, in draw order).
args <- commandArgs(trailingOnly = TRUE)
out <- if (length(args) > 0) args[1] else "tests/data/decor_r_draws.tsv"
cases <- list(
  c(765888842, 40, 1, 30), c(863667931, 40, 3, 30), c(3469685688, 40, 5, 30),
  c(2452363077, 40, 7, 30),
  c(3469685688, 20, 5, 4), c(3942614337, 25, 1, 3), c(2195668340, 25, 3, 3),
  c(1908631430, 25, 5, 3), c(277562841, 25, 7, 3), c(277562841, 25, 24, 2)
)
RNGkind("L'Ecuyer-CMRG", sample.kind = "Rejection")
lines <- character(0)
for (cs in cases) {
  s <- cs[1]
  signed <- if (s >= 2^31) s - 2^32 else s
  set.seed(as.integer(signed))
  for (d in seq_len(cs[4])) {
    v <- sample.int(cs[2], cs[3])
    lines <- c(lines, paste(format(s, scientific = FALSE), cs[2], cs[3], d,
                            paste(v, collapse = ";"), sep = "\t"))
  }
}
writeLines(lines, out)
