#!/usr/bin/env Rscript
# SPDX-License-Identifier: GPL-3.0-or-later
# compare40 at full precision with the exact-Hessian covariance, worked out in
# R from the model definition alone (no C++ code).
#
# Run from the repository root:  Rscript tests/reference/make_compare40_exact.R
# Written with R 4.2.2, glmmTMB 1.1.5 (TMB 1.9.2) and numDeriv 2016.8-1.1,
# Debian packages. Takes about half a minute on one core.
#
# Reads tests/reference/compare40.txt and compare40_models.csv (written by
# make_reference.R; neither is rewritten) and writes into tests/reference/:
#   compare40_exact.csv     the rows of compare40_models.csv, in the same order,
#                           with every number at full precision and the exact covariance
#   compare40_extra.txt     model averaging, overdispersion checks, Pearson dispersion
#
# The model functions below are copied from make_realsize.R (itself copied
# from make_reference.R) so that this script stands alone.

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
  list(fit = fit, theta = th, C = C, se = se, wf = wf, min_fit = min_fit)
}

# ====================================================================
# compare40 at full precision, exact covariance
# ====================================================================

B <- read_wards(outp("compare40.txt"))
yB <- B$count[B$surveyed]
n <- length(yB)
stopifnot(n == 40, sum(!B$surveyed) == 30, all(yB >= 1))
preds <- colnames(B$P)

# Rows and row order from compare40_models.csv (the constant-only model is an empty field).
old <- read.csv(outp("compare40_models.csv"), colClasses = "character", na.strings = character(0))
stopifnot(nrow(old) == 24)

# Delta-method variance of the expected total: g = sum_w dm/dh (1, x_w), v = g' C g.
delta_var <- function(theta, Xu, Cb) {
  k <- length(theta)
  hw <- drop(Xu %*% theta[-k])
  g <- colSums(Xu * d_floored_mean(hw))
  drop(t(g) %*% Cb %*% g)
}

cat("== compare40 exact\n")
res <- list()
rows <- list()
for (i in seq_len(nrow(old))) {
  dist <- old$dist[i]
  label <- old$predictors[i]
  sub <- if (label == "") integer(0) else match(strsplit(label, "+", fixed = TRUE)[[1]], preds)
  stopifnot(!anyNA(sub))
  P <- B$P[B$surveyed, sub, drop = FALSE]
  Xu <- cbind(1, B$P[!B$surveyed, sub, drop = FALSE])
  tag <- paste("compare40", if (label == "") "(constant)" else label)
  r <- analyse(tag, dist, yB, P, Xu)
  th <- r$theta; k <- length(th)
  stopifnot(k == as.integer(old$k[i]), n == as.integer(old$n[i]))
  wf <- r$wf
  Cb <- r$C[1:(k - 1), 1:(k - 1), drop = FALSE]
  v_delta <- delta_var(th, Xu, Cb)
  tc <- wf$t
  # The old route (4-decimal rounded predictions, finite-difference covariance)
  # must give back compare40_models.csv from the same estimates.
  dv <- derived(dist, th, r$fit$X, yB, Xu)
  note("%s %s: vs compare40_models.csv: log_lik diff %.2e, old pop_est by rounded route diff %.2e, old limits rel %.2e; full-precision pop_est - rounded %.6f; v exact/finite-difference - 1 = %.2e; v_delta/v - 1 = %.1e; e = %.6g (SE %.3g)",
       tag, dist, r$fit$ll_complete - as.numeric(old$log_lik[i]), dv$pop_est - as.numeric(old$pop_est[i]),
       rel_diff(c(dv$pop_lower, dv$pop_upper), as.numeric(c(old$pop_lower[i], old$pop_upper[i]))),
       wf$T_hat - dv$pop_est, wf$v / dv$v - 1, v_delta / wf$v - 1, th[k], r$se[k])
  stopifnot(abs(r$fit$ll_complete - as.numeric(old$log_lik[i])) < 1e-9,
            abs(dv$pop_est - as.numeric(old$pop_est[i])) < 1e-9,
            th[k] > 1e-3)   # an interior maximum (gradient zero), e not at its bound 0
  res[[i]] <- r
  rows[[i]] <- data.frame(
    dist = dist, predictors = label, k = k, n = n, log_lik = r$fit$ll_complete,
    aic = -2 * r$fit$ll_complete + 2 * k,
    pop_est = wf$T_hat, pop_var = wf$v + wf$count_var_sum, count_var_sum = wf$count_var_sum,
    pop_lower = wf$T_hat - tc * sqrt(wf$v + wf$count_var_sum),
    pop_upper = wf$T_hat + tc * sqrt(wf$v + wf$count_var_sum),
    delta_lower = wf$T_hat - tc * sqrt(v_delta), delta_upper = wf$T_hat + tc * sqrt(v_delta),
    stringsAsFactors = FALSE)
  stopifnot(abs(rows[[i]]$pop_lower / wf$pop_lower - 1) < 1e-15)
}
tab <- do.call(rbind, rows)
tab$aicc <- tab$aic + 2 * tab$k * (tab$k + 1) / (tab$n - tab$k - 1)
dl <- tab$aicc - min(tab$aicc)
tab$weight <- exp(-dl / 2) / sum(exp(-dl / 2))
note("weights vs compare40_models.csv: max abs diff %.2e; AICc order unchanged: %s",
     max(abs(tab$weight - as.numeric(old$weight))), identical(order(tab$aicc), seq_len(nrow(tab))))

cols <- c("dist", "predictors", "k", "n", "log_lik", "aic", "aicc", "weight", "pop_est",
          "pop_lower", "pop_upper", "delta_lower", "delta_upper")
out <- tab[, cols]
out$k <- as.character(tab$k); out$n <- as.character(tab$n)
for (cn in cols[-(1:4)]) out[[cn]] <- fmt(tab[[cn]])
con <- file(outp("compare40_exact.csv"), "wb")
writeLines(c(paste(cols, collapse = ","), apply(out, 1, paste, collapse = ",")), con, sep = "\n")
close(con)
print(tab[, c(cols, "count_var_sum")], digits = 10, row.names = FALSE)

# ------------------------------------------------------- model averaging
# Burnham & Anderson's unconditional SE: sum_i w_i sqrt(var_i + (T_i - T_avg)^2).
avg <- sum(tab$weight * tab$pop_est)
avg_se <- sum(tab$weight * sqrt(tab$pop_var + (tab$pop_est - avg)^2))
put("avg.total", avg)
put("avg.se", avg_se)
note("model average: total %.10f, unconditional SE %.10f (sum of weights - 1 = %.1e)", avg, avg_se, sum(tab$weight) - 1)

# ------------------------------------------------------- overdispersion
# Poisson with the same floored identity-link mean, against the negative binomial.
pois_ll <- function(b, X, y) sum(dpois(y, floored_mean(drop(X %*% b)), log = TRUE))
pois_grad <- function(b, X, y) {
  h <- drop(X %*% b); m <- floored_mean(h)
  drop(crossprod(X, (y / m - 1) * d_floored_mean(h)))
}
fit_pois <- function(X, y) {
  b0 <- lm.fit(X, y)$coefficients
  fl <- function(b) { v <- pois_ll(b, X, y); if (is.finite(v)) -v else 1e300 }
  o <- optim(b0, fl, function(b) -pois_grad(b, X, y), method = "BFGS",
             control = list(reltol = 1e-15, maxit = 10000, parscale = pmax(abs(b0), 0.01)))
  b <- newton(function(b) pois_ll(b, X, y), function(b) pois_grad(b, X, y), o$par)
  list(b = unname(b), ll = pois_ll(b, X, y), optim_b = unname(o$par), start = unname(b0))
}

od_check <- function(prefix, sub) {
  P <- B$P[B$surveyed, sub, drop = FALSE]
  X <- cbind(1, P)
  label <- paste(preds[sub], collapse = "+")
  i <- which(old$dist == "negbin" & old$predictors == label)
  stopifnot(length(i) == 1)
  nb <- res[[i]]
  pf <- fit_pois(X, yB)
  h <- drop(X %*% pf$b)
  gr <- pois_grad(pf$b, X, yB)
  # Cross-check: glm with the identity link (valid here, no mean on the floor).
  d <- data.frame(y = yB, P)
  g <- glm(if (length(sub)) y ~ . else y ~ 1, family = poisson(link = "identity"), data = d,
           start = pf$start, control = glm.control(epsilon = 1e-15, maxit = 200))
  note("%s Poisson: ll %.12f |grad| %.1e min mean %.3f; optim vs polished rel %.2e; glm coef rel %.2e, logLik diff %.2e",
       prefix, pf$ll, sqrt(sum(gr^2)), min(h), rel_diff(pf$optim_b, pf$b),
       rel_diff(unname(coef(g)), pf$b), as.numeric(logLik(g)) - pf$ll)
  stopifnot(min(h) >= 2, rel_diff(unname(coef(g)), pf$b) < 1e-8, abs(as.numeric(logLik(g)) - pf$ll) < 1e-9)
  if (!length(sub)) stopifnot(abs(pf$b - mean(yB)) < 1e-10 * mean(yB))
  lr <- 2 * (nb$fit$ll_complete - pf$ll)
  p <- 0.5 * pchisq(lr, 1, lower.tail = FALSE)
  put(paste0(prefix, ".poisson_ll"), pf$ll)
  put(paste0(prefix, ".negbin_ll"), nb$fit$ll_complete)
  put(paste0(prefix, ".lr"), lr)
  put(paste0(prefix, ".p"), p)
  nm <- c("b0", paste0("beta", seq_along(sub)))
  for (j in seq_along(pf$b)) put(paste0(prefix, ".poisson.", nm[j]), pf$b[j])
  note("%s: negbin ll %.10f, Poisson ll %.10f, LR %.10g, p %.10g (e = %.6g)",
       prefix, nb$fit$ll_complete, pf$ll, lr, p, nb$theta[length(nb$theta)])
  nb
}

nb_full <- od_check("od.full", 1:3)
invisible(od_check("od.const", integer(0)))

# Pearson dispersion of the full negative binomial: k free parameters including e.
th <- nb_full$theta; k <- length(th)
m <- floored_mean(drop(nb_full$fit$X %*% th[-k]))
disp <- sum((yB - m)^2 / ((1 + th[k]) * m)) / (n - k)
note("od.full dispersion %.12f; from pearson(): %.2e; glmmTMB Pearson residuals at its own estimates: %.2e",
     disp, sum(pearson("negbin", th, nb_full$fit$X, yB)^2) / (n - k) - disp,
     sum(residuals(nb_full$fit$pkg$fit, type = "pearson")^2) / (n - k) - disp)
put("od.full.dispersion", disp)
write_kv(outp("compare40_extra.txt"))

cat(sprintf("elapsed %.0f s\n", proc.time()[["elapsed"]] - t_start))
