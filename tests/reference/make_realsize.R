#!/usr/bin/env Rscript
# SPDX-License-Identifier: GPL-3.0-or-later
# Reference values for a real-sized survey, worked out in R from the model
# definition alone (no C++ code), with the covariance taken from the exact
# Hessian of the log likelihood rather than from finite differences.
#
# Run from the repository root:  Rscript tests/reference/make_realsize.R
# Written with R 4.2.2, glmmTMB 1.1.5 (TMB 1.9.2) and numDeriv 2016.8-1.1,
# Debian packages. Takes about half a minute on one core.
#
# Reads tests/reference/survey300.txt (written by make_reference.R) and writes
# into tests/reference/:
#   realsize60.txt          60 surveyed + 90 unsurveyed wards, header population,last_count
#   realsize60_per10.txt    the same wards with population divided by 10
#   realsize60_values.txt   fits of both files under each error law
#   survey300_exact.txt     survey300 with the exact-Hessian covariance, all at full precision
#
# The model functions below are copied from make_reference.R so that this
# script stands alone and that one stays as it is.

suppressPackageStartupMessages(library(glmmTMB))
t_start <- proc.time()[["elapsed"]]

out_dir <- "tests/reference"
if (!dir.exists(out_dir)) stop("run from the repository root")
outp <- function(f) file.path(out_dir, f)

DISTS <- c("lognormal", "normal", "negbin")
CHI_HALF <- qchisq(0.95, 1) / 2          # 1.920729...
TMB_CTRL <- glmmTMBControl(optCtrl = list(rel.tol = 1e-14, eval.max = 1e4, iter.max = 1e4))

fmt <- function(x) sprintf("%.17g", x)
note <- function(...) cat(sprintf(...), "\n")
rel_diff <- function(a, b) max(abs(a - b) / pmax(abs(b), 1e-300))

# ---------------------------------------------------------------- the model

floored_mean <- function(h) ifelse(h >= 2, h, 1 + 1 / (3 - h))
d_floored_mean <- function(h) ifelse(h >= 2, 1, 1 / (3 - h)^2)

# Halves away from zero; R's round() would go to even.
round4 <- function(x) sign(x) * floor(abs(x) * 1e4 + 0.5) / 1e4
# Relative distance of x from the nearest 4-decimal rounding boundary; tiny
# values would let a converged-but-not-exact estimate round the other way.
round4_margin <- function(x) abs((abs(x) * 1e4) %% 1 - 0.5) * 1e-4 / abs(x)
MIN_MARGIN <- 1e-7

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
      # An overflowing trial e gives NaN, which the optimisers treat as -Inf.
      suppressWarnings(sum(dlnorm(y, log(m) - s2 / 2, sqrt(s2), log = TRUE)))
    },
    normal = sum(dnorm(y, m, e, log = TRUE)),
    negbin = sum(dnbinom(y, size = m / e, prob = 1 / (1 + e), log = TRUE)))
  if (dist == "negbin") s else s + length(y) / 2 * log(2 * pi)
}
complete_from_report <- function(dist, ll, n) {
  if (dist == "negbin") ll else ll - n / 2 * log(2 * pi)
}

# Analytic gradient, so the Newton polish has an exact stationarity target.
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

# ------------------------------------------- maximisation on a linear map
# theta = a0 + A %*% phi; the full fit uses A = I, the profile ties b0 to T.

fit_direct <- function(dist, X, y, a0, A, starts, polish_only = FALSE) {
  kp <- ncol(A)
  f <- function(phi) ll_report(dist, a0 + drop(A %*% phi), X, y)
  g <- function(phi) drop(crossprod(A, ll_grad(dist, a0 + drop(A %*% phi), X, y)))
  best <- NULL
  lls <- numeric(0)
  run_start <- function(st) {
    phi <- st
    if (!polish_only) {
      # e on the log scale inside optim keeps it positive.
      fl <- function(q) { p <- q; p[kp] <- exp(q[kp]); v <- f(p); if (is.finite(v)) -v else 1e300 }
      gl <- function(q) { p <- q; p[kp] <- exp(q[kp]); gg <- g(p); gg[kp] <- gg[kp] * p[kp]; -gg }
      q0 <- st; q0[kp] <- log(st[kp])
      o <- optim(q0, fl, gl, method = "BFGS",
                 control = list(reltol = 1e-15, maxit = 10000, parscale = pmax(abs(q0), 0.1)))
      o2 <- suppressWarnings(nlminb(o$par, fl, gl, control = list(rel.tol = 1e-15, eval.max = 1e4, iter.max = 1e4)))
      phi <- o2$par; phi[kp] <- exp(phi[kp])
    }
    newton(f, g, phi)
  }
  for (st in starts) {
    # A start that wanders off (singular Hessian, NaN) is simply dropped.
    phi <- tryCatch(run_start(st), error = function(err) NULL)
    if (is.null(phi) || !is.finite(f(phi))) next
    lls <- c(lls, f(phi))
    if (is.null(best) || f(phi) > f(best)) best <- phi
  }
  if (is.null(best)) stop("no start converged")
  gr <- g(best)
  list(phi = best, theta = a0 + drop(A %*% best), ll = f(best),
       grad_norm = sqrt(sum(gr^2)), start_spread = max(lls) - min(lls), n_ok = length(lls))
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

# ----------------------------------------------- the program's derived values

fd_information <- function(dist, theta, X, y) {
  k <- length(theta)
  hs <- pmax(abs(0.01 * theta), 0.001)
  L <- function(d) ll_report(dist, theta + d, X, y)
  l0 <- L(rep(0, k))
  I <- matrix(0, k, k)
  for (a in 1:k) for (b in 1:k) {
    if (a == b) {
      da <- rep(0, k); da[a] <- 2 * hs[a]
      I[a, a] <- -(L(da) + L(-da) - 2 * l0) / (4 * hs[a]^2)
    } else {
      dp <- rep(0, k); dp[a] <- hs[a]; dp[b] <- hs[b]
      dm <- rep(0, k); dm[a] <- hs[a]; dm[b] <- -hs[b]
      I[a, b] <- -(L(dp) + L(-dp) - L(-dm) - L(dm)) / (4 * hs[a] * hs[b])
    }
  }
  I
}

derived <- function(dist, theta, X, y, Xu) {
  n <- length(y); k <- length(theta); df <- n - k; M <- nrow(Xu)
  th_r <- round4(theta)
  e_r <- th_r[k]
  hw <- drop(Xu %*% th_r[-k])
  pred <- floored_mean(hw)
  cvar <- switch(dist, lognormal = (e_r * hw)^2, normal = rep(e_r^2, M),
                 negbin = (e_r + 1) * hw) * n / df
  I <- fd_information(dist, theta, X, y)
  C <- chol2inv(chol(I))[1:(k - 1), 1:(k - 1), drop = FALSE]
  s <- colSums(Xu)
  v <- drop(t(s) %*% C %*% s)
  tc <- t_crit(df)
  pop_est <- sum(pred)
  lower <- pop_est - tc * sqrt(v + sum(cvar))
  list(theta_r = th_r, hw = hw, pred = pred, pop_est = pop_est, count_var_sum = sum(cvar),
       cov = C, v = v, t = tc, pop_lower = lower, pop_upper = 2 * pop_est - lower,
       df = df, min_pred = min(pred), min_hw = min(hw),
       round_margin = min(round4_margin(theta)))
}

pearson <- function(dist, theta, X, y) {
  k <- length(theta); e <- theta[k]
  m <- floored_mean(drop(X %*% theta[-k]))
  vv <- switch(dist, lognormal = e^2 * m^2, normal = rep(e^2, length(m)), negbin = (1 + e) * m)
  (y - m) / sqrt(vv)
}

# ---------------------------------------------------------------- fit routes

fit_tmb <- function(y, P, start_beta, off = NULL, intercept = TRUE, start_e = NULL) {
  d <- data.frame(y = y, P)
  rhs <- if (ncol(P) > 0) paste(colnames(P), collapse = " + ") else "1"
  if (!intercept) rhs <- paste("0 +", rhs)
  if (!is.null(off)) { d$off <- off; rhs <- paste(rhs, "+ offset(off)") }
  st <- list(beta = start_beta)
  if (!is.null(start_e)) st$betad <- log(start_e)
  fit <- withCallingHandlers(
    glmmTMB(as.formula(paste("y ~", rhs)), data = d, family = nbinom1(link = "identity"),
            start = st, control = TMB_CTRL),
    # rel.tol 1e-14 is beyond what nlminb can certify, and trial steps with a
    # negative identity-link mean give NaN; the Newton polish settles both.
    warning = function(w) if (grepl("convergence|NA/NaN", conditionMessage(w))) invokeRestart("muffleWarning"))
  fit
}

# Full fit of one error law: a package route, a multi-start direct route, and
# the Newton-polished final values.
fit_full <- function(dist, y, P) {
  X <- cbind(1, P)
  k <- ncol(X) + 1
  ols <- lm.fit(X, y)
  b_ols <- ols$coefficients
  s_ols <- sqrt(sum(ols$residuals^2) / length(y))
  e_guess <- switch(dist, normal = s_ols, lognormal = s_ols / mean(y), negbin = max(s_ols^2 / mean(y) - 1, 0.2))
  starts <- list(c(b_ols, e_guess), c(b_ols * 0.98, e_guess * 2), c(b_ols * 1.02, e_guess / 2))
  direct <- fit_direct(dist, X, y, rep(0, k), diag(k), starts)
  pkg <- switch(dist,
    negbin = {
      f <- fit_tmb(y, P, b_ols)
      th <- c(fixef(f)$cond, sigma(f))
      list(theta = unname(th), ll_complete = as.numeric(logLik(f)),
           pearson = unname(residuals(f, type = "pearson")), fit = f)
    },
    normal = {
      f <- lm(y ~ ., data = data.frame(y = y, P))
      th <- c(coef(f), sqrt(sum(residuals(f)^2) / length(y)))
      list(theta = unname(th), ll_complete = as.numeric(logLik(f)), fit = f)
    },
    lognormal = {
      # Second optimiser, without the analytic gradient: BFGS, Nelder-Mead, BFGS.
      fl <- function(q) { v <- ll_report(dist, c(q[-k], exp(q[k])), X, y); if (is.finite(v)) -v else 1e300 }
      q <- c(b_ols, log(e_guess))
      for (meth in c("BFGS", "Nelder-Mead", "BFGS"))
        q <- optim(q, fl, method = meth, control = list(reltol = 1e-15, maxit = 20000,
                                                         parscale = pmax(abs(q), 0.1)))$par
      th <- c(q[-k], exp(q[k]))
      list(theta = unname(th), ll_complete = complete_from_report(dist, -fl(q), length(y)))
    })
  final <- fit_direct(dist, X, y, rep(0, k), diag(k), list(pkg$theta), polish_only = TRUE)
  list(dist = dist, X = X, y = y, direct = direct, pkg = pkg, final = final,
       theta = final$theta, max_ll = final$ll,
       ll_complete = complete_from_report(dist, final$ll, length(y)))
}

# ----------------------------------------------------------------- profile

profile_fun <- function(fit, Xu) {
  dist <- fit$dist; X <- fit$X; y <- fit$y
  k <- length(fit$theta); p <- k - 2
  M <- nrow(Xu); S <- colSums(Xu)[-1]
  A <- rbind(c(-S / M, 0), diag(p + 1))
  warm <- fit$theta[-1]
  function(T) {
    a0 <- c(T / M, rep(0, p + 1))
    r <- fit_direct(dist, X, y, a0, A, list(warm), polish_only = TRUE)
    warm <<- r$phi
    r
  }
}

find_limit <- function(pf, T_hat, target, step, side) {
  # Walk out from T_hat until the profile drops below the target.
  b <- T_hat
  repeat {
    b <- b + side * step
    if (pf(b)$ll < target) break
  }
  a <- b - side * step
  uniroot(function(T) pf(T)$ll - target, sort(c(a, b)), tol = 1e-10 * abs(T_hat), maxiter = 200)$root
}

profile_limits <- function(fit, Xu, v) {
  M <- nrow(Xu)
  s <- colSums(Xu)
  T_hat <- sum(s * fit$theta[-length(fit$theta)])
  target <- fit$max_ll - CHI_HALF
  step <- sqrt(v)
  pf <- profile_fun(fit, Xu)
  lo <- find_limit(pf, T_hat, target, step, -1)
  pf <- profile_fun(fit, Xu)
  hi <- find_limit(pf, T_hat, target, step, +1)
  # Means at the two limit fits must stay off the floor too.
  mins <- sapply(c(lo, hi), function(T) {
    th <- profile_fun(fit, Xu)(T)$theta
    min(drop(fit$X %*% th[-length(th)]))
  })
  list(T_hat = T_hat, lower = lo, upper = hi, min_h_at_limits = min(mins))
}

# Package-route profile: glmmTMB (negbin), lm with offset (normal), plain optim (lognormal).
profile_limits_pkg <- function(fit, Xu, T_hat, v) {
  dist <- fit$dist; X <- fit$X; y <- fit$y
  M <- nrow(Xu); S <- colSums(Xu)[-1]
  Pc <- sweep(X[, -1, drop = FALSE], 2, S / M)
  colnames(Pc) <- paste0("c", seq_len(ncol(Pc)))
  n <- length(y)
  theta <- fit$theta; k <- length(theta)
  target <- fit$ll_complete - CHI_HALF
  prof <- switch(dist,
    negbin = function(T) as.numeric(logLik(fit_tmb(y, Pc, theta[2:(k - 1)], off = rep(T / M, n),
                                                   intercept = FALSE, start_e = theta[k]))),
    normal = function(T) as.numeric(logLik(lm(y ~ 0 + Pc + offset(rep(T / M, n))))),
    lognormal = function(T) {
      fl <- function(q) {
        th <- c(T / M - sum(S * q[1:(k - 2)]) / M, q[1:(k - 2)], exp(q[k - 1]))
        v <- ll_report("lognormal", th, X, y); if (is.finite(v)) -v else 1e300
      }
      q0 <- c(theta[2:(k - 1)], log(theta[k]))
      o <- optim(q0, fl, method = "BFGS", control = list(reltol = 1e-15, maxit = 10000))
      o <- optim(o$par, fl, method = "Nelder-Mead", control = list(reltol = 1e-15, maxit = 20000))
      o <- optim(o$par, fl, method = "BFGS", control = list(reltol = 1e-15, maxit = 10000))
      complete_from_report("lognormal", -o$value, n)
    })
  sw <- 2.2 * sqrt(v)
  lo <- uniroot(function(T) prof(T) - target, c(T_hat - 1.6 * sw, T_hat - 0.5 * sw), tol = 1e-10 * abs(T_hat), extendInt = "upX")$root
  hi <- uniroot(function(T) prof(T) - target, c(T_hat + 0.5 * sw, T_hat + 1.6 * sw), tol = 1e-10 * abs(T_hat), extendInt = "downX")$root
  c(lo, hi)
}

# ---------------------------------------------------------------- data files

write_wards <- function(file, header, names, cols, fmts, count) {
  body <- vapply(seq_along(names), function(i) {
    f <- mapply(function(col, fm) sprintf(fm, col[i]), cols, fmts)
    s <- paste(c(names[i], f), collapse = ",")
    if (!is.na(count[i])) s <- paste0(s, ",", sprintf("%d", count[i]))
    s
  }, "")
  con <- file(file, "wb")
  writeLines(c(paste(header, collapse = ","), body), con, sep = "\n")
  close(con)
}

# Read back what was written, so every number below is the file's own value.
read_wards <- function(file) {
  L <- readLines(file)
  hdr <- strsplit(L[1], ",", fixed = TRUE)[[1]]
  p <- length(hdr)
  rows <- strsplit(L[-1], ",", fixed = TRUE)
  nm <- vapply(rows, `[`, "", 1)
  P <- t(vapply(rows, function(r) as.numeric(r[2:(p + 1)]), numeric(p)))
  if (p == 1) P <- matrix(P, ncol = 1)
  colnames(P) <- hdr
  cnt <- vapply(rows, function(r) if (length(r) > p + 1) as.numeric(r[p + 2]) else NA_real_, 0)
  list(names = nm, P = P, count = cnt, surveyed = !is.na(cnt))
}

kv <- list()
put <- function(key, value) kv[[key]] <<- value
write_kv <- function(file) {
  con <- file(file, "wb")
  writeLines(paste(names(kv), vapply(kv, fmt, "")), con, sep = "\n")
  close(con)
  kv <<- list()
}

suppressPackageStartupMessages(library(numDeriv))
Z975 <- qnorm(0.975)                      # 1.959963984540054

# ---------------------------------------------- exact information and Wald

neg_ll_complete <- function(dist, theta, X, y)
  -complete_from_report(dist, ll_report(dist, theta, X, y), length(y))

# Observed information: numDeriv's Richardson-extrapolated Hessian of the
# negative log likelihood in (b0, slopes, e). A second route differentiates
# the analytic gradient once (numDeriv::jacobian).
exact_information <- function(dist, theta, X, y) {
  H <- hessian(function(th) neg_ll_complete(dist, th, X, y), theta)
  H <- (H + t(H)) / 2
  J <- jacobian(function(th) -ll_grad(dist, th, X, y), theta)
  J <- (J + t(J)) / 2
  list(H = H, J = J, C = chol2inv(chol(H)), CJ = chol2inv(chol(J)))
}

# Everything at full precision: means h_w unrounded, exact covariance.
wald_full <- function(dist, theta, n, Xu, C) {
  k <- length(theta); df <- n - k; e <- theta[k]
  hw <- drop(Xu %*% theta[-k])
  cvar <- switch(dist, lognormal = (e * hw)^2, normal = rep(e^2, length(hw)),
                 negbin = (e + 1) * hw) * n / df
  s <- colSums(Xu)
  Cb <- C[1:(k - 1), 1:(k - 1)]
  v <- drop(t(s) %*% Cb %*% s)
  tc <- t_crit(df)
  T_hat <- sum(floored_mean(hw))
  list(T_hat = T_hat, min_hw = min(hw), count_var_sum = sum(cvar), v = v, t = tc,
       pop_lower = T_hat - tc * sqrt(v + sum(cvar)), pop_upper = T_hat + tc * sqrt(v + sum(cvar)),
       delta_lower_t = T_hat - tc * sqrt(v), delta_upper_t = T_hat + tc * sqrt(v),
       delta_lower_z = T_hat - Z975 * sqrt(v), delta_upper_z = T_hat + Z975 * sqrt(v))
}

# Covariance difference on the correlation scale: max |A - B|_ab / sqrt(B_aa B_bb);
# entries near zero (normal: Cov(b, e) = 0) make a plain relative difference useless.
cov_diff <- function(A, B) { d <- sqrt(diag(B)); max(abs(A - B) / outer(d, d)) }

dist_se <- function(A, se) paste(sprintf("%.1e", abs(sqrt(diag(A)) / se - 1)), collapse = " ")

# Gradient of the log likelihood in the parameters' own units, and scaled:
# |g_a * theta_a| / |ll| (the change of ll per relative change of theta_a).
grad_report <- function(dist, theta, X, y) {
  g <- ll_grad(dist, theta, X, y)
  c(abs = sqrt(sum(g^2)), rel = sqrt(sum((g * theta)^2)) / abs(ll_report(dist, theta, X, y)))
}

put_fit <- function(prefix, nm, th, fit, wf, C, prof) {
  kk <- length(th)
  for (i in seq_len(kk)) put(paste0(prefix, nm[i]), th[i])
  put(paste0(prefix, "max_ll"), fit$max_ll)
  put(paste0(prefix, "loglik_complete"), fit$ll_complete)
  put(paste0(prefix, "T_hat"), wf$T_hat)
  for (a in 1:kk) for (b in a:kk) put(sprintf("%scov.%d.%d", prefix, a, b), C[a, b])
  for (a in 1:kk) put(sprintf("%sse.%d", prefix, a), sqrt(C[a, a]))
  for (nmk in c("count_var_sum", "v", "t", "pop_lower", "pop_upper",
                "delta_lower_t", "delta_upper_t", "delta_lower_z", "delta_upper_z"))
    put(paste0(prefix, nmk), wf[[nmk]])
  if (!is.null(prof)) {
    put(paste0(prefix, "profile_lower"), prof$lower)
    put(paste0(prefix, "profile_upper"), prof$upper)
  }
}

# One law on one data set: fit, package cross-checks, exact covariance,
# Wald and delta limits, optionally profile limits (two routes).
analyse <- function(label, dist, y, P, Xu, do_profile = TRUE) {
  fit <- fit_full(dist, y, P)
  th <- fit$theta; X <- fit$X; k <- length(th); n <- length(y)
  gr <- grad_report(dist, th, X, y)
  min_fit <- min(drop(X %*% th[-k]))
  note("%s %s: max_ll %.12f  |grad| %.2e (scaled %.2e)  start spread %.2e (%d starts)  min fitted mean %.3f",
       label, dist, fit$max_ll, gr[["abs"]], gr[["rel"]], fit$direct$start_spread, fit$direct$n_ok, min_fit)
  note("%s %s: package route vs polished: theta rel %.2e, complete ll diff %.2e; multi-start vs polished theta rel %.2e",
       label, dist, rel_diff(fit$pkg$theta, th), fit$pkg$ll_complete - fit$ll_complete, rel_diff(fit$direct$theta, th))
  stopifnot(min_fit >= 2, rel_diff(fit$direct$theta, th) < 1e-7, gr[["rel"]] < 1e-9)

  ex <- exact_information(dist, th, X, y)
  C <- ex$C
  se <- sqrt(diag(C))
  note("%s %s: SE %s", label, dist, paste(sprintf("%.10g", se), collapse = " "))
  note("%s %s: covariance, Hessian of the log likelihood vs Jacobian of its analytic gradient: %.2e (correlation scale), SE rel %.2e",
       label, dist, cov_diff(ex$CJ, C), rel_diff(sqrt(diag(ex$CJ)), se))
  stopifnot(cov_diff(ex$CJ, C) < 1e-6)
  if (dist == "normal") {
    # Exact: Cov(b) = e^2 (X'X)^-1, Var(e) = e^2 / (2n), Cov(b, e) = 0.
    Cn <- matrix(0, k, k)
    Cn[1:(k - 1), 1:(k - 1)] <- th[k]^2 * solve(crossprod(X))
    Cn[k, k] <- th[k]^2 / (2 * n)
    f <- fit$pkg$fit
    Clm <- vcov(f) * (n - (k - 1)) / n        # lm uses RSS/(n-p); the MLE RSS/n
    note("%s normal: numDeriv cov vs closed form e^2 (X'X)^-1, e^2/(2n): %.2e (correlation scale), SE rel %.2e; lm vcov*(n-p)/n SE rel %.2e",
         label, cov_diff(C, Cn), rel_diff(se, sqrt(diag(Cn))),
         rel_diff(sqrt(diag(Clm)), se[1:(k - 1)]))
    stopifnot(rel_diff(se, sqrt(diag(Cn))) < 1e-7)
  }
  if (dist == "negbin") {
    f <- fit$pkg$fit
    et <- sigma(f)
    Jt <- diag(c(rep(1, k - 1), et))          # (b0, slopes, log sigma) -> (b0, slopes, e), delta method
    # vcov(): glmmTMB inverts optimHess, finite differences of the AD gradient
    # with a fixed absolute step of 1e-3, which is coarse for a slope of order 1e-3.
    Ct <- Jt %*% vcov(f, full = TRUE) %*% Jt
    # TMB's own AD Hessian (the exact second derivatives in glmmTMB's
    # parametrisation), evaluated at the polished estimates, where the gradient
    # is zero and the change from log sigma to e is exact.
    stopifnot(length(f$obj$env$last.par.best) == k)
    Ja <- diag(c(rep(1, k - 1), th[k]))
    Ca <- Ja %*% solve(f$obj$he(c(th[-k], log(th[k])))) %*% Ja
    note("%s negbin: glmmTMB vcov() (converted to e) vs numDeriv: SE rel %s; %.2e (correlation scale)",
         label, dist_se(Ct, se), cov_diff(Ct, C))
    note("%s negbin: TMB AD Hessian (obj$he at the polished estimates, converted to e) vs numDeriv: SE rel %s; %.2e (correlation scale)",
         label, dist_se(Ca, se), cov_diff(Ca, C))
    stopifnot(cov_diff(Ca, C) < 1e-8)
  }
  wf <- wald_full(dist, th, n, Xu, C)
  stopifnot(wf$min_hw >= 2)
  note("%s %s: T_hat %.10f  min h_w %.3f  v %.8f  count_var_sum %.8f  Wald [%.8f, %.8f]  delta-t [%.8f, %.8f]",
       label, dist, wf$T_hat, wf$min_hw, wf$v, wf$count_var_sum, wf$pop_lower, wf$pop_upper,
       wf$delta_lower_t, wf$delta_upper_t)
  prof <- NULL
  if (do_profile) {
    prof <- profile_limits(fit, Xu, wf$v)
    stopifnot(prof$min_h_at_limits >= 2, abs(prof$T_hat / wf$T_hat - 1) < 1e-14)
    pk <- profile_limits_pkg(fit, Xu, prof$T_hat, wf$v)
    note("%s %s: profile [%.10f, %.10f]; package route [%.10f, %.10f] (rel %.2e); min mean at limits %.3f",
         label, dist, prof$lower, prof$upper, pk[1], pk[2], rel_diff(pk, c(prof$lower, prof$upper)),
         prof$min_h_at_limits)
    stopifnot(rel_diff(pk, c(prof$lower, prof$upper)) < 1e-8)
  }
  list(fit = fit, theta = th, C = C, se = se, wf = wf, prof = prof, min_fit = min_fit)
}

# ====================================================================
# realsize60: 60 surveyed + 90 unsurveyed wards, populations in thousands
# ====================================================================

gen_R <- function(seed) {
  set.seed(seed)
  nR <- 150
  pop <- sample(800:9000, nR, replace = TRUE)
  last <- sample(0:60, nR, replace = TRUE)
  mR <- 3 + 0.004 * pop + 0.5 * last
  surv <- seq_len(nR) %in% sample(nR, 60)
  cnt <- ifelse(surv, rnbinom(nR, size = mR / 2, mu = mR), NA)   # e = 2
  list(pop = pop, last = last, count = cnt)
}

SEED_R <- as.integer(Sys.getenv("REALSIZE_SEED", "60"))
gR <- gen_R(SEED_R)
nR <- 150
namesR <- sprintf("R%03d", 1:nR)
write_wards(outp("realsize60.txt"), c("population", "last_count"), namesR,
            list(gR$pop, gR$last), c("%d", "%d"), gR$count)
# Population / 10 of a whole number: exactly one decimal.
write_wards(outp("realsize60_per10.txt"), c("population", "last_count"), namesR,
            list(gR$pop / 10, gR$last), c("%.1f", "%d"), gR$count)

R1 <- read_wards(outp("realsize60.txt"))
R10 <- read_wards(outp("realsize60_per10.txt"))
stopifnot(identical(R1$count, R10$count), all(R10$P[, 1] * 10 == R1$P[, 1]))
yR <- R1$count[R1$surveyed]
stopifnot(length(yR) == 60, sum(!R1$surveyed) == 90, all(yR >= 1))   # lognormal needs y > 0
note("realsize60 (seed %d): counts %d..%d, mean %.2f", SEED_R, min(yR), max(yR), mean(yR))

NM2 <- c("b0", "beta1", "beta2", "e")
res <- list()
for (set in c("base", "per10")) {
  D <- if (set == "base") R1 else R10
  P <- D$P[D$surveyed, , drop = FALSE]
  Xu <- cbind(1, D$P[!D$surveyed, , drop = FALSE])
  pre0 <- if (set == "base") "" else "per10."
  put(paste0(pre0, "n"), length(yR)); put(paste0(pre0, "M"), nrow(Xu))
  put(paste0(pre0, "k"), 4); put(paste0(pre0, "df"), length(yR) - 4)
  put(paste0(pre0, "S1"), sum(Xu[, 2])); put(paste0(pre0, "S2"), sum(Xu[, 3]))
  cat(sprintf("== realsize60 %s\n", set))
  for (dist in DISTS) {
    r <- analyse(paste("realsize60", set), dist, yR, P, Xu)
    res[[set]][[dist]] <- r
    put_fit(paste0(pre0, dist, "."), NM2, r$theta, r$fit, r$wf, r$C, r$prof)
  }
}

cat("== per10 invariance\n")
for (dist in DISTS) {
  a <- res$base[[dist]]; b <- res$per10[[dist]]
  Dm <- diag(c(1, 10, 1, 1))
  note("per10 %s: max_ll diff %.2e; T_hat rel %.2e; Wald rel %.2e; delta rel %.2e; profile rel %.2e; beta1 ratio %.14f; other theta rel %.2e; cov vs D C D %.2e (correlation scale)",
       dist, b$fit$max_ll - a$fit$max_ll, abs(b$wf$T_hat / a$wf$T_hat - 1),
       rel_diff(c(b$wf$pop_lower, b$wf$pop_upper), c(a$wf$pop_lower, a$wf$pop_upper)),
       rel_diff(c(b$wf$delta_lower_t, b$wf$delta_upper_t), c(a$wf$delta_lower_t, a$wf$delta_upper_t)),
       rel_diff(c(b$prof$lower, b$prof$upper), c(a$prof$lower, a$prof$upper)),
       b$theta[2] / a$theta[2], rel_diff(b$theta[-2], a$theta[-2]), cov_diff(b$C, Dm %*% a$C %*% Dm))
  stopifnot(abs(b$fit$max_ll - a$fit$max_ll) < 1e-9, abs(b$wf$T_hat / a$wf$T_hat - 1) < 1e-10,
            rel_diff(c(b$prof$lower, b$prof$upper), c(a$prof$lower, a$prof$upper)) < 1e-9)
}
write_kv(outp("realsize60_values.txt"))

# ====================================================================
# survey300 with the exact-Hessian covariance
# ====================================================================

cat("== survey300 exact\n")
A <- read_wards(outp("survey300.txt"))
yA <- A$count[A$surveyed]
PA <- A$P[A$surveyed, , drop = FALSE]
XuA <- cbind(1, A$P[!A$surveyed, , drop = FALSE])
old <- local({
  L <- strsplit(readLines(outp("survey300_values.txt")), " ", fixed = TRUE)
  setNames(as.numeric(vapply(L, `[`, "", 2)), vapply(L, `[`, "", 1))
})
put("n", length(yA)); put("M", nrow(XuA)); put("k", 5); put("df", length(yA) - 5)
for (j in 1:3) put(paste0("S", j), sum(XuA[, j + 1]))
NM3 <- c("b0", "beta1", "beta2", "beta3", "e")
for (dist in DISTS) {
  r <- analyse("survey300", dist, yA, PA, XuA, do_profile = FALSE)
  o <- old[paste0(dist, ".", NM3)]
  note("survey300 %s: estimates vs survey300_values.txt rel %.2e; T_hat rel %.2e; v exact %.6f vs finite-difference %.6f (rel %.2e)",
       dist, rel_diff(r$theta, o), abs(r$wf$T_hat / old[[paste0(dist, ".T_hat")]] - 1),
       r$wf$v, old[[paste0(dist, ".v")]], r$wf$v / old[[paste0(dist, ".v")]] - 1)
  stopifnot(rel_diff(r$theta, o) < 1e-12)
  put_fit(paste0(dist, "."), NM3, r$theta, r$fit, r$wf, r$C, NULL)
}
write_kv(outp("survey300_exact.txt"))

cat(sprintf("elapsed %.0f s\n", proc.time()[["elapsed"]] - t_start))
