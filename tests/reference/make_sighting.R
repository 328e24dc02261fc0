# SPDX-License-Identifier: GPL-3.0-or-later
# Reference values of the dogs present: the sighting proportion, its binomial variance, the
# dogs present and their log-scale delta limits, worked from the fits of survey300 with the
# exact information matrix (survey300_exact.txt, from make_realsize.R) and the counts and
# predictors in survey300.txt (each ward's prediction from the fit's coefficients);
# and binomial probabilities for the check of the binomial draws.
#   Rscript tests/reference/make_sighting.R   (from the repository root)
dir <- "tests/reference"
ex <- read.table(file.path(dir, "survey300_exact.txt"), col.names = c("key", "value"),
                 colClasses = c("character", "numeric"))
x <- setNames(ex$value, ex$key)
lines <- readLines(file.path(dir, "survey300.txt"))[-1]
fields <- strsplit(lines, ",")
counted <- sum(sapply(fields, function(f) if (length(f) == 5) as.numeric(f[5]) else 0))

out <- character()
put <- function(key, value) out <<- c(out, sprintf("%s %.17g", key, value))
put("counted", counted)

# each case: marked dogs present M and marked dogs seen per count, or a proportion and SE
cases <- list(
  three = list(M = 40, R = c(22, 25, 19)),
  study = list(p = 0.62, se = 0.05),
  all = list(M = 10, R = c(10, 10)),
  few = list(M = 12, R = c(1, 2))
)
z <- qnorm(0.975)
for (name in names(cases)) {
  k <- cases[[name]]
  if (is.null(k$p)) {
    n <- length(k$R) * k$M
    p <- sum(k$R) / n
    var_p <- p * (1 - p) / n
  } else {
    p <- k$p
    var_p <- k$se^2
  }
  put(paste0(name, ".p"), p)
  put(paste0(name, ".var_p"), var_p)
  for (d in c("lognormal", "normal", "negbin")) {
    key <- paste0(name, ".", d)
    total <- counted + x[[paste0(d, ".T_hat")]]
    var_t <- x[[paste0(d, ".v")]] + x[[paste0(d, ".count_var_sum")]]
    D <- total / p
    se_log <- sqrt(var_t / total^2 + var_p / p^2)
    put(paste0(key, ".T"), total)
    put(paste0(key, ".D"), D)
    put(paste0(key, ".delta_lower"), D * exp(-z * se_log))
    put(paste0(key, ".delta_upper"), D * exp(z * se_log))
    for (w in c("W002", "W004")) {
      f <- fields[[which(sapply(fields, `[`, 1) == w)]]
      h <- x[[paste0(d, ".b0")]] + sum(sapply(1:3, function(j) x[[paste0(d, ".beta", j)]] * as.numeric(f[j + 1])))
      m <- if (h >= 2) h else 1 + 1 / (3 - h)
      put(paste0(key, ".ward.", w), m / p)
    }
  }
}
# binomial probabilities for the draws' check
for (x in 0:20) put(paste0("dbinom20.", x), dbinom(x, 20, 0.3))
for (x in 150:210) put(paste0("dbinom360.", x), dbinom(x, 360, 0.5))
writeLines(out, file.path(dir, "sighting_values.txt"))
