#!/usr/bin/env Rscript
# SPDX-License-Identifier: GPL-3.0-or-later
# Reference values for the estimation tests, worked out in R from the model
# definition alone, so that the C++ results are checked against an independent
# implementation.
#
# Run from the repository root:  Rscript tests/reference/make_reference.R
# Written with R 4.2.2 and glmmTMB 1.1.5 (TMB 1.9.2), Debian packages.
# Takes about 10 seconds on one core.
#
# Writes into tests/reference/:
#   survey300.txt, survey300_values.txt      300 wards, three error laws
#   compare40.txt, compare40_models.csv,     70 wards, 8 predictor subsets x 3 laws
#   compare40_values.txt

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

# ---------------------------------------------------------------- generators
# Seeds were picked so that every fitted mean stays >= 2, every count >= 1
# and no estimate sits next to a 4-decimal rounding boundary.

gen_A <- function(seed) {
  set.seed(seed)
  nA <- 300
  hh <- sample(50:600, nA, replace = TRUE)
  road <- round(runif(nA, 0.5, 25.0), 1)
  share <- round(runif(nA, 0, 1), 2)
  mA <- 4 + 0.08 * hh + 0.9 * road + 12 * share
  survA <- rep(c(TRUE, FALSE), nA / 2)
  cntA <- ifelse(survA, rnbinom(nA, size = mA / 1.2, mu = mA), NA)
  list(hh = hh, road = road, share = share, count = cntA)
}
gen_B <- function(seed) {
  set.seed(seed)
  nB <- 70
  hh <- sample(30:400, nB, replace = TRUE)
  road <- round(runif(nB, 1, 20), 1)
  mk <- sample(0:5, nB, replace = TRUE)
  mB <- 6 + 0.06 * hh + 0.8 * road + 2 * mk
  survB <- seq_len(nB) %in% sample(nB, 40)
  cntB <- ifelse(survB, rnbinom(nB, size = mB / 0.8, mu = mB), NA)
  list(hh = hh, road = road, mk = mk, count = cntB)
}
# ====================================================================
# A. survey300: 300 wards, surveyed and unsurveyed alternating
# ====================================================================

SEED_A <- 301   # 300 put a lognormal fitted mean below 2
gA <- gen_A(SEED_A)
nA <- 300
write_wards(outp("survey300.txt"), c("households", "road_km", "share"), sprintf("W%03d", 1:nA),
            list(gA$hh, gA$road, gA$share), c("%d", "%.1f", "%.2f"), gA$count)

A <- read_wards(outp("survey300.txt"))
yA <- A$count[A$surveyed]
PA <- A$P[A$surveyed, , drop = FALSE]
XuA <- cbind(1, A$P[!A$surveyed, , drop = FALSE])
stopifnot(length(yA) == 150, nrow(XuA) == 150, all(yA >= 1))   # lognormal needs y > 0
stopifnot(any(PA[, "share"] %% 1 != 0))

# The analytic gradient must match central differences before it steers anything.
for (dist in DISTS) {
  th0 <- c(coef(lm.fit(cbind(1, PA), yA)), if (dist == "normal") 15 else 0.7)
  num <- sapply(1:5, function(a) {
    d <- rep(0, 5); d[a] <- 1e-6 * max(abs(th0[a]), 1)
    (ll_report(dist, th0 + d, cbind(1, PA), yA) - ll_report(dist, th0 - d, cbind(1, PA), yA)) / (2 * d[a])
  })
  stopifnot(max(abs(ll_grad(dist, th0, cbind(1, PA), yA) - num)) < 1e-5 * max(1, abs(num)))
}

cat("== survey300\n")
put("n", length(yA)); put("M", nrow(XuA)); put("k", 5); put("df", length(yA) - 5)
SA <- colSums(XuA)
for (j in 1:3) put(paste0("S", j), SA[j + 1])

for (dist in DISTS) {
  fit <- fit_full(dist, yA, PA)
  th <- fit$theta
  dv <- derived(dist, th, fit$X, yA, XuA)
  min_fit <- min(drop(fit$X %*% th[-5]))
  note("survey300 %s: max_ll %.12f  |grad| %.2e  start spread %.2e (%d starts)  min fitted mean %.3f  min h_w %.3f  rounding margin %.1e",
       dist, fit$max_ll, fit$final$grad_norm, fit$direct$start_spread, fit$direct$n_ok, min_fit, dv$min_hw, dv$round_margin)
  note("survey300 %s: package route vs polished: theta rel %.2e, complete ll diff %.2e; direct multi-start vs polished theta rel %.2e",
       dist, rel_diff(fit$pkg$theta, th), fit$pkg$ll_complete - fit$ll_complete, rel_diff(fit$direct$theta, th))
  stopifnot(min_fit >= 2, dv$min_hw >= 2, rel_diff(fit$direct$theta, th) < 1e-7,
            dv$round_margin > MIN_MARGIN)

  pl <- profile_limits(fit, XuA, dv$v)
  stopifnot(pl$min_h_at_limits >= 2)
  pk <- profile_limits_pkg(fit, XuA, pl$T_hat, dv$v)
  note("survey300 %s: profile [%.10f, %.10f]; package route [%.10f, %.10f] (rel %.2e); min mean at limits %.3f",
       dist, pl$lower, pl$upper, pk[1], pk[2], rel_diff(pk, c(pl$lower, pl$upper)), pl$min_h_at_limits)

  pr <- pearson(dist, th, fit$X, yA)
  if (dist == "negbin") {
    note("survey300 negbin: Pearson formula at glmmTMB's own estimates vs residuals(type = 'pearson') max abs diff %.2e; at the polished estimates %.2e",
         max(abs(pearson(dist, fit$pkg$theta, fit$X, yA) - fit$pkg$pearson)), max(abs(pr - fit$pkg$pearson)))
    note("survey300 negbin: dnbinom with e = sigma(fit) at glmmTMB's estimates vs logLik(fit): diff %.2e",
         ll_report(dist, fit$pkg$theta, fit$X, yA) - fit$pkg$ll_complete)
  }
  if (dist == "lognormal") {
    m <- drop(fit$X %*% th[-5]); s2 <- log1p(th[5]^2)
    note("survey300 lognormal: complete ll by sum(dlnorm) %.12f vs %.12f",
         sum(dlnorm(yA, log(m) - s2 / 2, sqrt(s2), log = TRUE)), fit$ll_complete)
  }
  if (dist == "normal") {
    X <- fit$X
    cvec <- colSums(XuA)
    vX <- drop(t(cvec) %*% solve(crossprod(X), cvec))
    rss <- sum((yA - drop(X %*% th[-5]))^2)
    hw_cf <- sqrt(vX * rss * (exp(3.841459 / length(yA)) - 1))
    hw_ex <- sqrt(vX * rss * (exp(qchisq(0.95, 1) / length(yA)) - 1))
    # LL is quadratic in the coefficients, so the finite differences are exact there.
    note("survey300 normal: v by finite differences %.12f vs e^2 c'(X'X)^-1 c %.12f (rel %.2e)",
         dv$v, th[5]^2 * vX, abs(dv$v / (th[5]^2 * vX) - 1))
    note("survey300 normal: closed form (3.841459) [%.10f, %.10f]; with exact qchisq [%.10f, %.10f]; root finding vs exact closed form rel %.2e",
         pl$T_hat - hw_cf, pl$T_hat + hw_cf, pl$T_hat - hw_ex, pl$T_hat + hw_ex,
         rel_diff(c(pl$lower, pl$upper), c(pl$T_hat - hw_ex, pl$T_hat + hw_ex)))
    stopifnot(rel_diff(c(pl$lower, pl$upper), c(pl$T_hat - hw_ex, pl$T_hat + hw_ex)) < 1e-9)
  }

  nm <- c("b0", "beta1", "beta2", "beta3", "e")
  for (i in 1:5) put(paste0(dist, ".", nm[i]), th[i])
  for (i in 1:5) put(paste0(dist, ".", nm[i], "_r"), dv$theta_r[i])
  put(paste0(dist, ".max_ll"), fit$max_ll)
  put(paste0(dist, ".loglik_complete"), fit$ll_complete)
  put(paste0(dist, ".pop_est"), dv$pop_est)
  put(paste0(dist, ".count_var_sum"), dv$count_var_sum)
  put(paste0(dist, ".v"), dv$v)
  put(paste0(dist, ".t"), dv$t)
  put(paste0(dist, ".pop_lower"), dv$pop_lower)
  put(paste0(dist, ".pop_upper"), dv$pop_upper)
  put(paste0(dist, ".T_hat"), pl$T_hat)
  put(paste0(dist, ".profile_lower"), pl$lower)
  put(paste0(dist, ".profile_upper"), pl$upper)
  if (dist == "normal") {
    put("normal.profile_closed_lower", pl$T_hat - hw_cf)
    put("normal.profile_closed_upper", pl$T_hat + hw_cf)
  }
  for (a in 1:4) for (b in a:4) put(sprintf("%s.cov.%d.%d", dist, a, b), dv$cov[a, b])
  for (i in seq_along(pr)) put(sprintf("%s.pearson.%d", dist, i), pr[i])
  un <- A$names[!A$surveyed]
  for (i in seq_along(un)) put(sprintf("%s.pred.%s", dist, un[i]), dv$pred[i])
}
write_kv(outp("survey300_values.txt"))

# ====================================================================
# B. compare40: 40 surveyed + 30 unsurveyed, every predictor subset
# ====================================================================

SEED_B <- 42    # 40, 41 left an estimate within 1e-7 (relative) of a rounding boundary
gB <- gen_B(SEED_B)
nB <- 70
write_wards(outp("compare40.txt"), c("households", "road_km", "markets"), sprintf("C%02d", 1:nB),
            list(gB$hh, gB$road, gB$mk), c("%d", "%.1f", "%d"), gB$count)

B <- read_wards(outp("compare40.txt"))
yB <- B$count[B$surveyed]
stopifnot(length(yB) == 40, sum(!B$surveyed) == 30, all(yB >= 1))

cat("== compare40\n")
preds <- colnames(B$P)
subsets <- unlist(lapply(0:3, function(s) combn(3, s, simplify = FALSE)), recursive = FALSE)
rows <- list()
for (sub in subsets) {
  P <- B$P[B$surveyed, sub, drop = FALSE]
  Xu <- cbind(1, B$P[!B$surveyed, sub, drop = FALSE])
  label <- paste(preds[sub], collapse = "+")
  for (dist in DISTS) {
    fit <- fit_full(dist, yB, P)
    th <- fit$theta; k <- length(th); n <- length(yB)
    dv <- derived(dist, th, fit$X, yB, Xu)
    min_fit <- min(drop(fit$X %*% th[-k]))
    ll <- fit$ll_complete
    # Complete log likelihood by the plain density at the fitted means.
    m <- drop(fit$X %*% th[-k]); e <- th[k]
    ll_chk <- switch(dist,
      lognormal = { s2 <- log1p(e^2); sum(dlnorm(yB, log(m) - s2 / 2, sqrt(s2), log = TRUE)) },
      normal = sum(dnorm(yB, m, e, log = TRUE)),
      negbin = sum(dnbinom(yB, size = m / e, prob = 1 / (1 + e), log = TRUE)))
    note("compare40 %-9s %-26s ll %.10f (package %.2e, density %.2e, multi-start %.2e) |grad| %.1e min mean %.2f min h_w %.2f margin %.1e",
         dist, if (label == "") "(constant)" else label, ll, fit$pkg$ll_complete - ll, ll_chk - ll,
         fit$direct$ll - fit$max_ll, fit$final$grad_norm, min_fit, dv$min_hw, dv$round_margin)
    if (min_fit < 2 || dv$min_hw < 2) note("  WARNING: a mean below 2 in this row")
    if (dv$round_margin < MIN_MARGIN) note("  WARNING: an estimate sits next to a rounding boundary")
    rows[[length(rows) + 1]] <- data.frame(
      dist = dist, predictors = label, k = k, n = n, log_lik = ll,
      aic = -2 * ll + 2 * k, pop_est = dv$pop_est, pop_lower = dv$pop_lower, pop_upper = dv$pop_upper)
    key <- paste0(dist, ".", if (label == "") "const" else label)
    for (i in seq_len(k)) put(sprintf("%s.theta.%d", key, i), th[i])
    for (i in seq_len(k)) put(sprintf("%s.theta_r.%d", key, i), dv$theta_r[i])
    put(paste0(key, ".max_ll"), fit$max_ll)
    put(paste0(key, ".count_var_sum"), dv$count_var_sum)
    put(paste0(key, ".v"), dv$v)
    put(paste0(key, ".t"), dv$t)
  }
}
write_kv(outp("compare40_values.txt"))

tab <- do.call(rbind, rows)
tab$aicc <- tab$aic + 2 * tab$k * (tab$k + 1) / (tab$n - tab$k - 1)
tab$delta_aicc <- tab$aicc - min(tab$aicc)
tab$weight <- exp(-tab$delta_aicc / 2) / sum(exp(-tab$delta_aicc / 2))
tab <- tab[order(tab$aicc), c("dist", "predictors", "k", "n", "log_lik", "aic", "aicc",
                              "delta_aicc", "weight", "pop_est", "pop_lower", "pop_upper")]
num <- c("log_lik", "aic", "aicc", "delta_aicc", "weight", "pop_est", "pop_lower", "pop_upper")
out <- tab
out$k <- as.character(tab$k); out$n <- as.character(tab$n)
for (cn in num) out[[cn]] <- fmt(tab[[cn]])
# Left unquoted: the constant-only model is an empty field.
con <- file(outp("compare40_models.csv"), "wb")
writeLines(c(paste(names(out), collapse = ","), apply(out, 1, paste, collapse = ",")), con, sep = "\n")
close(con)
print(tab, digits = 8, row.names = FALSE)

cat(sprintf("elapsed %.0f s\n", proc.time()[["elapsed"]] - t_start))
