# SPDX-License-Identifier: GPL-3.0-or-later
# An independent Monte Carlo study of survey plans under the normal model, for the plan
# tests: a town of 200 wards with one predictor, counts drawn from y = 20 + 0.1 x + N(0, 15^2),
# simple random samples of k wards, least squares on each sample and the Wald prediction
# limits of the unsurveyed wards' total worked out from their formula:
#   total  = sum over unsurveyed wards of (b0 + b1 x)
#   var    = s' (sigma_ml^2 (X'X)^-1) s  +  M * RSS / df      (s = (M, sum of unsurveyed x))
#   limits = total -+ t * sqrt(var), t the two-sided 95 % t value to 3 decimals for
#            df <= 20 and 2 beyond
# The counts a survey records are whole numbers; the unsurveyed wards' dogs are as drawn.
# Writes plan_wards.txt (the town, no ward surveyed) and plan_normal_values.txt.
# Run from the repository root: Rscript tests/reference/make_plan_normal.R  (about 20 s)

set.seed(2807)
N <- 200
x <- round(runif(N, 100, 1100))
wards <- sprintf("P%03d", seq_len(N))
b0 <- 20; b1 <- 0.1; sd <- 15
mu <- b0 + b1 * x
stopifnot(min(mu) > 25)  # far from the floor at 2

dir <- "tests/reference"
writeLines(c("households", sprintf("%s,%d", wards, x)), file.path(dir, "plan_wards.txt"))

REPS <- 20000
BATCH <- 400  # the plan tests' replicates: the Monte Carlo error of a study of that size
out <- c(sprintf("N %d", N), sprintf("b0 %.17g", b0), sprintf("b1 %.17g", b1), sprintf("sd %.17g", sd),
         sprintf("reps %d", REPS), sprintf("batch %d", BATCH))
tcrit <- function(df) if (df <= 20) round(qt(0.975, df), 3) else 2

for (k in c(12, 40)) {
  rhw <- numeric(REPS); inside <- logical(REPS); err <- numeric(REPS); town <- numeric(REPS)
  df <- k - 3  # intercept, slope and standard deviation
  tc <- tcrit(df)
  for (r in seq_len(REPS)) {
    chosen <- sample.int(N, k)
    y <- rnorm(N, mu, sd)
    ys <- round(y[chosen])
    xs <- x[chosen]; xu <- x[-chosen]
    fit <- lm(ys ~ xs)
    X <- cbind(1, xs)
    rss <- sum(residuals(fit)^2)
    sigma2_ml <- rss / k
    s <- c(length(xu), sum(xu))
    v <- drop(t(s) %*% (sigma2_ml * solve(crossprod(X))) %*% s)
    total <- sum(coef(fit)[1] + coef(fit)[2] * xu)
    hw <- tc * sqrt(v + length(xu) * rss / df)
    drawn <- sum(y[-chosen])
    rhw[r] <- hw / (sum(ys) + total)
    inside[r] <- total - hw < drawn && drawn < total + hw
    err[r] <- total - drawn
    town[r] <- sum(ys) + drawn
  }
  batches <- split(rhw, rep(seq_len(REPS / BATCH), each = BATCH))
  p <- mean(inside)
  key <- sprintf("k%d", k)
  out <- c(out,
           sprintf("%s.median_rhw %.17g", key, median(rhw)),
           sprintf("%s.median_rhw_sd_batch %.17g", key, sd(sapply(batches, median))),
           sprintf("%s.coverage %.17g", key, p),
           sprintf("%s.coverage_sd_batch %.17g", key, sqrt(p * (1 - p) / BATCH)),
           sprintf("%s.relative_rmse %.17g", key, sqrt(mean(err^2)) / mean(town)))
}
writeLines(out, file.path(dir, "plan_normal_values.txt"))
