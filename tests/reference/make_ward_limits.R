#!/usr/bin/env Rscript
# SPDX-License-Identifier: GPL-3.0-or-later
# Limits of one named ward, worked out in R from the model definition alone (no
# C++ code): the delta-method confidence limits of the ward's expected count,
# its gradient taken by numDeriv, and its Wald prediction limits, for every
# unsurveyed ward under each error law.
#
# Run from the repository root:  Rscript tests/reference/make_ward_limits.R
# Written with R 4.2.2 and numDeriv 2016.8-1.1, Debian packages; a few seconds.
# Fixed seed; two runs give byte-identical files.
#
# Writes into tests/reference/:
#   wards30.txt           20 surveyed + 10 unsurveyed wards, header population,markets
#   wards30_values.txt    the fits and each unsurveyed ward's limits, `key value` lines
#
# The model functions are copied from make_realsize.R so that this script
# stands alone and the others stay as they are.

suppressPackageStartupMessages(library(numDeriv))

out_dir <- "tests/reference"
if (!dir.exists(out_dir)) stop("run from the repository root")
outp <- function(f) file.path(out_dir, f)

DISTS <- c("lognormal", "normal", "negbin")
fmt <- function(x) sprintf("%.17g", x)
note <- function(...) cat(sprintf(...), "\n")
rel_diff <- function(a, b) max(abs(a - b) / pmax(abs(b), 1e-300))

# ---------------------------------------------------------------- the model

floored_mean <- function(h) ifelse(h >= 2, h, 1 + 1 / (3 - h))
d_floored_mean <- function(h) ifelse(h >= 2, 1, 1 / (3 - h)^2)

# The program's table: two-sided 95 % t to three decimals up to 20 degrees of freedom.
t_crit <- function(df) {
  if (df >= 21) 2.0 else round(qt(0.975, df), 3)
}

# Reported log likelihood: normal and lognormal drop -0.5*log(2*pi) per record.
ll_report <- function(dist, theta, X, y) {
  k <- length(theta)
  e <- theta[k]
  if (!is.finite(e) || e <= 0) return(-Inf)
  m <- floored_mean(drop(X %*% theta[-k]))
  s <- switch(dist,
    lognormal = {
      s2 <- log1p(e^2)
      suppressWarnings(sum(dlnorm(y, log(m) - s2 / 2, sqrt(s2), log = TRUE)))
    },
    normal = sum(dnorm(y, m, e, log = TRUE)),
    negbin = sum(dnbinom(y, size = m / e, prob = 1 / (1 + e), log = TRUE)))
  if (dist == "negbin") s else s + length(y) / 2 * log(2 * pi)
}
complete_from_report <- function(dist, ll, n) {
  if (dist == "negbin") ll else ll - n / 2 * log(2 * pi)
}

ll_grad <- function(dist, theta, X, y) {
  k <- length(theta)
  e <- theta[k]
  h <- drop(X %*% theta[-k])
  m <- floored_mean(h)
  switch(dist,
    normal = {
      dm <- (y - m) / e^2
      de <- sum(-1 / e + (y - m)^2 / e^3)
    },
    lognormal = {
      s2 <- log1p(e^2)
      z <- log(y) - (log(m) - s2 / 2)
      dm <- z / s2 / m
      ds2 <- sum(-1 / (2 * s2) + z^2 / (2 * s2^2) - z / (2 * s2))
      de <- ds2 * 2 * e / (1 + e^2)
    },
    negbin = {
      r <- m / e
      A <- digamma(y + r) - digamma(r) - log1p(e)
      dm <- A / e
      de <- sum(-A * m / e^2 - r / (1 + e) + y * (1 / e - 1 / (1 + e)))
    })
  c(drop(crossprod(X, dm * d_floored_mean(h))), de)
}

newton <- function(f, g, phi, maxit = 50) {
  for (it in seq_len(maxit)) {
    gr <- g(phi)
    kp <- length(phi)
    H <- matrix(0, kp, kp)
    for (a in seq_len(kp)) {
      st <- 1e-5 * max(abs(phi[a]), 1e-2)
      p1 <- phi; p1[a] <- p1[a] + st
      p2 <- phi; p2[a] <- p2[a] - st
      H[, a] <- (g(p1) - g(p2)) / (2 * st)
    }
    H <- (H + t(H)) / 2
    step <- -solve(H, gr)
    f0 <- f(phi)
    lam <- 1
    while (lam > 1e-8 && !(f(phi + lam * step) >= f0 - 1e-10)) lam <- lam / 2
    phi <- phi + lam * step
    if (max(abs(lam * step) / pmax(abs(phi), 1e-3)) < 1e-13) break
  }
  phi
}

# Three starts, each through optim BFGS, nlminb and a Newton polish with the
# analytic gradient; the best end point is kept.
fit_full <- function(dist, X, y) {
  k <- ncol(X) + 1
  f <- function(th) ll_report(dist, th, X, y)
  g <- function(th) ll_grad(dist, th, X, y)
  ols <- lm.fit(X, y)
  b <- ols$coefficients
  s <- sqrt(sum(ols$residuals^2) / length(y))
  e0 <- switch(dist, normal = s, lognormal = s / mean(y), negbin = max(s^2 / mean(y) - 1, 0.2))
  starts <- list(c(b, e0), c(b * 0.98, e0 * 2), c(b * 1.02, e0 / 2))
  ends <- lapply(starts, function(st) {
    # e on the log scale inside optim keeps it positive
    fl <- function(q) { p <- q; p[k] <- exp(q[k]); v <- f(p); if (is.finite(v)) -v else 1e300 }
    gl <- function(q) { p <- q; p[k] <- exp(q[k]); gg <- g(p); gg[k] <- gg[k] * p[k]; -gg }
    q0 <- st; q0[k] <- log(st[k])
    o <- optim(q0, fl, gl, method = "BFGS",
               control = list(reltol = 1e-15, maxit = 10000, parscale = pmax(abs(q0), 1e-4)))
    o2 <- suppressWarnings(nlminb(o$par, fl, gl, control = list(rel.tol = 1e-15, eval.max = 1e4, iter.max = 1e4)))
    th <- o2$par; th[k] <- exp(th[k])
    newton(f, g, th)
  })
  lls <- vapply(ends, f, 0)
  best <- ends[[which.max(lls)]]
  list(theta = unname(best), max_ll = f(best), spread = max(lls) - min(lls),
       grad = sqrt(sum((g(best) * best)^2)) / abs(f(best)))
}

# ---------------------------------------------------------------- the data

# A town of 30 wards with populations in the thousands (slope about 3e-4 a
# person) and a few markets; counts negative binomial with e = 1, at least 1.
set.seed(30)
nW <- 30
pop <- sample(5000:95000, nW)
markets <- sample(0:6, nW, replace = TRUE)
m <- 4 + 3e-4 * pop + 1.5 * markets
surv <- seq_len(nW) %in% sample(nW, 20)
cnt <- ifelse(surv, pmax(1, rnbinom(nW, size = m, mu = m)), NA)
names_w <- sprintf("K%02d", seq_len(nW))
body <- ifelse(surv, sprintf("%s,%d,%d,%d", names_w, pop, markets, cnt), sprintf("%s,%d,%d", names_w, pop, markets))
con <- file(outp("wards30.txt"), "wb")
writeLines(c("population,markets", body), con, sep = "\n")
close(con)

# Read back what was written, so that every number below is the file's own.
L <- strsplit(readLines(outp("wards30.txt"))[-1], ",", fixed = TRUE)
is_s <- vapply(L, length, 0L) == 4
P <- t(vapply(L, function(r) as.numeric(r[2:3]), numeric(2)))
y <- as.numeric(vapply(L[is_s], `[`, "", 4))
X <- cbind(1, P[is_s, , drop = FALSE])
Xu <- cbind(1, P[!is_s, , drop = FALSE])
unames <- vapply(L[!is_s], `[`, "", 1)
n <- length(y); M <- nrow(Xu); k <- 4; df <- n - k; tc <- t_crit(df)
stopifnot(n == 20, M == 10, all(y >= 1))
note("wards30: counts %d..%d, populations %d..%d, t %.3f", min(y), max(y), min(pop), max(pop), tc)

kv <- list()
put <- function(key, value) kv[[key]] <<- value
put("n", n); put("M", M); put("df", df); put("t", tc)

for (dist in DISTS) {
  fit <- fit_full(dist, X, y)
  th <- fit$theta
  stopifnot(fit$spread < 1e-9, fit$grad < 1e-12, th[k] > 0)
  # observed information: numDeriv's Hessian of the negative complete log likelihood
  # in (b0, slopes, e), checked against the Jacobian of the analytic gradient
  nll <- function(t) -complete_from_report(dist, ll_report(dist, t, X, y), n)
  H <- hessian(nll, th); H <- (H + t(H)) / 2
  J <- jacobian(function(t) -ll_grad(dist, t, X, y), th); J <- (J + t(J)) / 2
  C <- chol2inv(chol(H)); CJ <- chol2inv(chol(J))
  d <- sqrt(diag(C))
  note("%s: theta %s; max_ll %.10f; Hessian vs Jacobian %.1e (correlation scale)", dist,
       paste(sprintf("%.6g", th), collapse = " "), fit$max_ll, max(abs(CJ - C) / outer(d, d)))
  stopifnot(max(abs(CJ - C) / outer(d, d)) < 1e-6)
  pre <- paste0(dist, ".")
  for (i in seq_along(th)) put(paste0(pre, c("b0", "beta1", "beta2", "e")[i]), th[i])
  put(paste0(pre, "max_ll"), fit$max_ll)
  for (w in seq_len(M)) {
    xw <- Xu[w, ]
    # the ward's expected count as a function of every parameter, e included (its
    # derivative there is 0); numDeriv differentiates it, floor and all
    mean_w <- function(t) floored_mean(sum(xw * t[1:3]))
    g <- grad(mean_w, th)
    stopifnot(abs(g[4]) < 1e-12)
    v_mean <- drop(t(g) %*% C %*% g)
    h <- sum(xw * th[1:3])
    pred <- floored_mean(h)
    stopifnot(rel_diff(g[1:3], d_floored_mean(h) * xw) < 1e-8)
    cvar <- switch(dist, lognormal = (th[k] * h)^2, normal = th[k]^2, negbin = (th[k] + 1) * h) * n / df
    wp <- paste0(pre, unames[w], ".")
    put(paste0(wp, "pred"), pred)
    put(paste0(wp, "delta_lower"), pred - tc * sqrt(v_mean))
    put(paste0(wp, "delta_upper"), pred + tc * sqrt(v_mean))
    put(paste0(wp, "wald_lower"), pred - tc * sqrt(v_mean + cvar))
    put(paste0(wp, "wald_upper"), pred + tc * sqrt(v_mean + cvar))
  }
  # the whole total's delta-method limits, far wider than any one ward's
  s <- colSums(Xu)
  vt <- drop(t(s) %*% C[1:3, 1:3] %*% s)
  T_hat <- sum(floored_mean(drop(Xu %*% th[1:3])))
  put(paste0(pre, "T_hat"), T_hat)
  put(paste0(pre, "delta_lower"), T_hat - tc * sqrt(vt))
  put(paste0(pre, "delta_upper"), T_hat + tc * sqrt(vt))
  note("%s: total %.4f, delta %.4f .. %.4f; smallest prediction %.2f", dist, T_hat, T_hat - tc * sqrt(vt),
       T_hat + tc * sqrt(vt), min(floored_mean(drop(Xu %*% th[1:3]))))
}

con <- file(outp("wards30_values.txt"), "wb")
writeLines(paste(names(kv), vapply(kv, fmt, "")), con, sep = "\n")
close(con)
