"""A plain-Python reading of the Gaussian fit path, written to be compared with
the extension bit for bit.

Only what the Gaussian fit uses is here: three free parameters, both limits
active on each, analytic derivatives, the default evaluation limit of 800 and
no user scaling. Python floats are IEEE doubles and ``math.exp`` is the
platform's ``exp``, so every operation below, done in the same order and with
the same grouping as the extension's, gives the same bits. Single-precision
steps use ``numpy.float32`` scalars and arrays. Division goes through ``div``
wherever the divisor may be zero, because Python raises where IEEE-754 gives an
infinity or a NaN."""

import math

import numpy as np

f32 = np.float32
EPS = 2.220446049250313e-16
DWARF = 2.2250738585072014e-308
RDWARF = 1.8269129289596699e-153
RGIANT = 1.3407807799935083e153
NAN_BITS = np.array([0x7FC00000], dtype=np.uint32).view(np.float32)[0]
CONVERGED = {1, 2, 3, 4, 6, 7, 8}


def div(a, b):
    if b != 0.0:
        return a / b
    if a != a or a == 0.0:
        return math.nan
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def sqrt(v):
    return math.sqrt(v) if v >= 0.0 else math.nan


def fmax(a, b):
    """Larger of two doubles, ignoring a NaN operand."""
    if a != a:
        return b
    if b != b:
        return a
    return a if a > b else b


def fmin(a, b):
    if a != a:
        return b
    if b != b:
        return a
    return a if a < b else b


def euclid_norm(v):
    n = len(v)
    if n == 0:
        return 0.0
    agiant = RGIANT / float(n)
    s1 = s2 = s3 = x1max = x3max = 0.0
    for x in v:
        a = abs(x)
        if a > RDWARF and a < agiant:
            s2 += x * x
        elif a > RDWARF:
            if a > x1max:
                r = x1max / a
                s1 = s1 * r * r + 1.0
                x1max = a
            else:
                q = a / x1max
                s1 += q * q
        elif a > x3max:
            r = x3max / a
            s3 = s3 * r * r + 1.0
            x3max = a
        elif x != 0.0:
            q = div(a, x3max)
            s3 += q * q
    if s1 != 0.0:
        return x1max * sqrt(s1 + (s2 / x1max) / x1max)
    if s2 != 0.0:
        if s2 >= x3max:
            return sqrt(s2 * (1.0 + (x3max / s2) * (x3max * s3)))
        return sqrt(x3max * (s2 / x3max + x3max * s3))
    return x3max * sqrt(s3)


def qr_factor(m, n, a):
    """Householder QR with column pivoting of the columns ``a`` (lists of m
    values), in place; returns ipvt, rdiag and acnorm."""
    rdiag = [euclid_norm(col) for col in a]
    acnorm = list(rdiag)
    refnorm = list(rdiag)
    ipvt = list(range(n))
    for j in range(min(m, n)):
        kmax = j
        for k in range(j + 1, n):
            if rdiag[k] > rdiag[kmax]:
                kmax = k
        if kmax != j:
            a[j], a[kmax] = a[kmax], a[j]
            rdiag[kmax] = rdiag[j]
            refnorm[kmax] = refnorm[j]
            ipvt[j], ipvt[kmax] = ipvt[kmax], ipvt[j]
        col = a[j]
        cnorm = euclid_norm(col[j:])
        if cnorm != 0.0:
            if col[j] < 0.0:
                cnorm = -cnorm
            for i in range(j, m):
                col[i] = col[i] / cnorm
            col[j] = col[j] + 1.0
            for k in range(j + 1, n):
                ck = a[k]
                s = 0.0
                for i in range(j, m):
                    s += col[i] * ck[i]
                t = div(s, col[j])
                for i in range(j, m):
                    ck[i] = ck[i] - t * col[i]
                if rdiag[k] != 0.0:
                    t = ck[j] / rdiag[k]
                    rdiag[k] = rdiag[k] * sqrt(fmax(0.0, 1.0 - t * t))
                    t = div(rdiag[k], refnorm[k])
                    if 0.05 * t * t < EPS:
                        rdiag[k] = euclid_norm(ck[j + 1 :])
                        refnorm[k] = rdiag[k]
        rdiag[j] = -cnorm
    return ipvt, rdiag, acnorm


def form_qtf(m, n, a, rdiag, fvec):
    w = list(fvec)
    qtf = [0.0] * n
    for j in range(n):
        col = a[j]
        d = col[j]
        if d != 0.0:
            s = 0.0
            for i in range(j, m):
                s += col[i] * w[i]
            t = -s / d
            for i in range(j, m):
                w[i] = w[i] + col[i] * t
        col[j] = rdiag[j]
        qtf[j] = w[j]
    return qtf


def newton_scaled_step(n, ipvt, diag, v, vnorm):
    return [div(v[ipvt[j]], vnorm) * diag[ipvt[j]] for j in range(n)]


def qr_solve(n, a, ipvt, damp, qtb):
    """Solves the damped system by Givens rotations on a copy of R kept in the
    strict lower triangle; returns u and the diagonal of S."""
    for j in range(n):
        for i in range(j, n):
            a[j][i] = a[i][j]
    u = [a[j][j] for j in range(n)]
    w = list(qtb)
    sdiag = [0.0] * n
    for j in range(n):
        lp = ipvt[j]
        if damp[lp] != 0.0:
            for k in range(j + 1, n):
                sdiag[k] = 0.0
            sdiag[j] = damp[lp]
            qtbpj = 0.0
            for k in range(j, n):
                if sdiag[k] == 0.0:
                    continue
                rkk = a[k][k]
                if abs(sdiag[k]) > abs(rkk):
                    cotan = rkk / sdiag[k]
                    sin = 0.5 / sqrt(0.25 + 0.25 * (cotan * cotan))
                    cos = sin * cotan
                else:
                    tan = div(sdiag[k], rkk)
                    cos = 0.5 / sqrt(0.25 + 0.25 * (tan * tan))
                    sin = cos * tan
                a[k][k] = cos * rkk + sin * sdiag[k]
                temp = cos * w[k] + sin * qtbpj
                qtbpj = cos * qtbpj - sin * w[k]
                w[k] = temp
                ck = a[k]
                for i in range(k + 1, n):
                    temp = cos * ck[i] + sin * sdiag[i]
                    sdiag[i] = cos * sdiag[i] - sin * ck[i]
                    ck[i] = temp
        sdiag[j] = a[j][j]
        a[j][j] = u[j]
    nsing = n
    for j in range(n):
        if sdiag[j] == 0.0 and nsing == n:
            nsing = j
        if nsing < n:
            w[j] = 0.0
    for j in range(nsing - 1, -1, -1):
        s = 0.0
        for i in range(j + 1, nsing):
            s += a[j][i] * w[i]
        w[j] = div(w[j] - s, sdiag[j])
    out = [0.0] * n
    for j in range(n):
        out[ipvt[j]] = w[j]
    return out, sdiag


def lm_parameter(n, a, ipvt, diag, qtf, delta, par):
    """Returns (par, u) for the step bound delta, starting from the previous par."""
    w1 = [0.0] * n
    nsing = n
    for j in range(n):
        w1[j] = qtf[j]
        if a[j][j] == 0.0 and nsing == n:
            nsing = j
        if nsing < n:
            w1[j] = 0.0
    for j in range(nsing - 1, -1, -1):
        w1[j] = w1[j] / a[j][j]
        t = w1[j]
        for i in range(j):
            w1[i] = w1[i] - a[j][i] * t
    u = [0.0] * n
    for j in range(n):
        u[ipvt[j]] = w1[j]
    w2 = [diag[j] * u[j] for j in range(n)]
    dxnorm = euclid_norm(w2)
    fp = dxnorm - delta
    if fp <= 0.1 * delta:
        return 0.0, u
    parl = 0.0
    if nsing == n:
        w1 = newton_scaled_step(n, ipvt, diag, w2, dxnorm)
        for j in range(n):
            s = 0.0
            for i in range(j):
                s += a[j][i] * w1[i]
            w1[j] = div(w1[j] - s, a[j][j])
        tn = euclid_norm(w1)
        parl = div(div(div(fp, delta), tn), tn)
    for j in range(n):
        s = 0.0
        for i in range(j + 1):
            s += a[j][i] * qtf[i]
        w1[j] = div(s, diag[ipvt[j]])
    qnorm = euclid_norm(w1)
    paru = div(qnorm, delta)
    if paru == 0.0:
        paru = DWARF / fmin(delta, 0.1)
    par = fmax(par, parl)
    par = fmin(par, paru)
    if par == 0.0:
        par = div(qnorm, dxnorm)
    solves = 0
    while True:
        if par == 0.0:
            par = fmax(DWARF, 0.001 * paru)
        t = sqrt(par)
        damp = [t * diag[j] for j in range(n)]
        u, sdiag = qr_solve(n, a, ipvt, damp, qtf)
        w2 = [diag[j] * u[j] for j in range(n)]
        dxnorm = euclid_norm(w2)
        temp = fp
        fp = dxnorm - delta
        solves += 1
        if abs(fp) <= 0.1 * delta or (parl == 0.0 and fp <= temp and temp < 0.0) or solves == 10:
            return par, u
        w1 = newton_scaled_step(n, ipvt, diag, w2, dxnorm)
        for j in range(n):
            w1[j] = div(w1[j], sdiag[j])
            t = w1[j]
            for i in range(j + 1, n):
                w1[i] = w1[i] - a[j][i] * t
        tn = euclid_norm(w1)
        parc = div(div(div(fp, delta), tn), tn)
        if fp > 0.0:
            parl = fmax(parl, par)
        if fp < 0.0:
            paru = fmin(paru, par)
        par = fmax(parl, par + parc)


class GaussianResiduals:
    """Weighted residuals of A * exp(-z^2 / 2), z = (x - mu) / sigma."""

    def __init__(self, x, y, error):
        self.x, self.y, self.error = x, y, error
        self.m = len(x)

    def evaluate(self, p):
        amp, mu, sig = p
        out = []
        for x, y, e in zip(self.x, self.y, self.error):
            z = (x - mu) / sig
            g = math.exp(z * -0.5 * z)
            out.append((y - g * amp) / e)
        return out

    def evaluate_with_derivs(self, p):
        """Residuals and the three derivative columns."""
        amp, mu, sig = p
        r, da, dm, ds = [], [], [], []
        for x, y, e in zip(self.x, self.y, self.error):
            z = (x - mu) / sig
            g = math.exp(z * -0.5 * z)
            w = 1.0 / e
            r.append((y - amp * g) * w)
            da.append(-g * w)
            dm.append(z * -amp * g * w / sig)
            ds.append(w * (z * -amp * z * g) / sig)
        return r, [da, dm, ds]


def solve(model, ftol, xtol, gtol, max_iter, xall, lower, upper):
    """Bounded Levenberg-Marquardt for three free parameters with both limits
    active. Returns (status, x, bestnorm), or None for a refused run."""
    n = 3
    m = model.m
    if m == 0:
        return None
    for v in (ftol, xtol, gtol, 100.0):
        if v <= 0.0:
            return None
    for p in range(n):
        if lower[p] > xall[p] or xall[p] > upper[p] or lower[p] >= upper[p]:
            return None
    if m < n:
        return None
    maxfev = 200 * (n + 1)
    fvec = model.evaluate(xall)
    nfev = 2
    fnorm = euclid_norm(fvec)
    if not math.isfinite(fnorm):
        return None
    x = list(xall)
    fnorm1 = -1.0
    xnorm = -1.0
    delta = 0.0
    par = 0.0
    it = 1
    diag = [0.0] * n
    status = 0
    while status == 0:
        # Outer iteration: a fresh Jacobian at the current point.
        _, a = model.evaluate_with_derivs(list(x))
        nfev += 1
        for j in range(n):
            at_lo = lower[j] == x[j]
            at_hi = upper[j] == x[j]
            if at_lo or at_hi:
                s = 0.0
                for i in range(m):
                    s += fvec[i] * a[j][i]
                if (at_lo and s > 0.0) or (at_hi and s < 0.0):
                    a[j] = [0.0] * m
        ipvt, rdiag, acnorm = qr_factor(m, n, a)
        if it == 1:
            for j in range(n):
                diag[j] = acnorm[j] if acnorm[j] != 0.0 else 1.0
            xnorm = euclid_norm([diag[j] * x[j] for j in range(n)])
            delta = 100.0 * xnorm
            if delta == 0.0:
                delta = 100.0
        qtf = form_qtf(m, n, a, rdiag, fvec)
        for col in a:
            for v in col:
                if not math.isfinite(v):
                    return None
        gnorm = 0.0
        if fnorm != 0.0:
            for j in range(n):
                lp = ipvt[j]
                if acnorm[lp] != 0.0:
                    s = 0.0
                    for i in range(j + 1):
                        s += a[j][i] * (qtf[i] / fnorm)
                    gnorm = fmax(gnorm, abs(s / acnorm[lp]))
        if gnorm <= gtol:
            status = 4
            break
        for j in range(n):
            diag[j] = fmax(diag[j], acnorm[j])
        while True:
            # Inner iteration: a trial step on the same Jacobian.
            par, step = lm_parameter(n, a, ipvt, diag, qtf, delta, par)
            wa1 = [-v for v in step]
            alpha = 1.0
            limiting = None
            for j in range(n):
                pegged_lo = x[j] <= lower[j]
                pegged_hi = x[j] >= upper[j]
                moves = abs(wa1[j]) > EPS
                if pegged_lo and wa1[j] < 0.0:
                    wa1[j] = 0.0
                if pegged_hi and wa1[j] > 0.0:
                    wa1[j] = 0.0
                if moves and x[j] + wa1[j] < lower[j]:
                    t = div(lower[j] - x[j], wa1[j])
                    if t < alpha:
                        alpha, limiting = t, (j, lower[j])
                if moves and x[j] + wa1[j] > upper[j]:
                    t = div(upper[j] - x[j], wa1[j])
                    if t < alpha:
                        alpha, limiting = t, (j, upper[j])
            wa2 = [0.0] * n
            for j in range(n):
                wa1[j] = wa1[j] * alpha
                wa2[j] = x[j] + wa1[j]
                if limiting is not None and limiting[0] == j:
                    wa2[j] = limiting[1]
                hi, lo = upper[j], lower[j]
                f = 0.9999999999999998 if hi >= 0.0 else 1.0000000000000002
                if wa2[j] >= hi * f - (EPS if hi == 0.0 else 0.0):
                    wa2[j] = hi
                f = 1.0000000000000002 if lo >= 0.0 else 0.9999999999999998
                if wa2[j] <= lo * f + (EPS if lo == 0.0 else 0.0):
                    wa2[j] = lo
            pnorm = euclid_norm([diag[j] * wa1[j] for j in range(n)])
            if it == 1:
                delta = fmin(delta, pnorm)
            wa4 = model.evaluate(wa2)
            nfev += 1
            fnorm1 = euclid_norm(wa4)
            actred = -1.0
            if 0.1 * fnorm1 < fnorm:
                q = fnorm1 / fnorm
                actred = 1.0 - q * q
            wa3 = [0.0] * n
            for j in range(n):
                t = wa1[ipvt[j]]
                for i in range(j + 1):
                    wa3[i] += a[j][i] * t
            t1 = div(euclid_norm(wa3) * alpha, fnorm)
            t2 = div(sqrt(alpha * par) * pnorm, fnorm)
            prered = t1 * t1 + t2 * t2 / 0.5
            dirder = -(t1 * t1 + t2 * t2)
            ratio = actred / prered if prered != 0.0 else 0.0
            if ratio <= 0.25:
                temp = 0.5 if actred >= 0.0 else div(dirder * 0.5, dirder + 0.5 * actred)
                if 0.1 * fnorm1 >= fnorm or temp < 0.1:
                    temp = 0.1
                delta = temp * fmin(delta, pnorm / 0.1)
                par = par / temp
            elif par == 0.0 or ratio >= 0.75:
                delta = pnorm / 0.5
                par = 0.5 * par
            if ratio >= 0.0001:
                x = wa2
                fvec = wa4
                xnorm = euclid_norm([diag[j] * x[j] for j in range(n)])
                fnorm = fnorm1
                it += 1
            ftol_met = abs(actred) <= ftol and prered <= ftol and 0.5 * ratio <= 1.0
            if ftol_met:
                status = 1
            if delta <= xtol * xnorm:
                status = 3 if ftol_met else 2
            if status != 0:
                break
            if nfev >= maxfev:
                status = 5
            if it >= max_iter:
                status = 5
            if abs(actred) <= EPS and prered <= EPS and 0.5 * ratio <= 1.0:
                status = 6
            if delta <= EPS * xnorm:
                status = 7
            if gnorm <= EPS:
                status = 8
            if status != 0 or not ratio < 0.0001:
                break
    best = fmax(fnorm, fnorm1)
    return status, x, best * best


def gaussian_uncertainties(x, error, p, chi2):
    amp, mu, sig = p
    saa = sam = sas = smm = sms = sss = 0.0
    for xi, ei in zip(x, error):
        w = 1.0 / ei
        z = (xi - mu) / sig
        g = math.exp(z * -0.5 * z)
        ja = -g * w
        jm = w * z * -amp * g / sig
        js = w * z * z * -amp * g / sig
        saa += ja * ja
        sam += ja * jm
        sas += ja * js
        smm += jm * jm
        sms += jm * js
        sss += js * js
    det = sas * (sms * sam - smm * sas) + (
        saa * (sss * smm - sms * sms) - (sam * sss - sas * sms) * sam
    )
    if not math.isfinite(det) or abs(det) < 1e-30:
        return f32(0.0), f32(0.0), f32(0.0)
    n = len(x)
    s = sqrt(chi2 / float(n - 3)) if n > 3 else 1.0
    variances = (
        (sss * smm - sms * sms) / det,
        (sss * saa - sas * sas) / det,
        (saa * smm - sam * sam) / det,
    )
    return tuple(f32(sqrt(v) * s) if v > 0.0 else f32(0.0) for v in variances)


def reduced_chi2(chi2, n):
    return f32(chi2) / f32(max(n - 3, 1))


def fit_bounded_gaussian(x, y, error, initial, bounds, xtol, ftol, gtol, max_iter):
    """Returns (A, mu, sigma, eA, emu, esigma, chi2) as float32, or None.
    x, y, error are float32 arrays; the rest are float32 scalars."""
    if not (len(x) == len(y) == len(error)):
        return None
    if not all(math.isfinite(t) and t > 0.0 for t in (xtol, ftol, gtol)) or max_iter == 0:
        return None
    if not all(math.isfinite(v) for v in initial) or not all(math.isfinite(b) for b in bounds):
        return None
    if not all(bounds[2 * k] < bounds[2 * k + 1] for k in range(3)) or not bounds[4] > 0.0:
        return None
    if not (np.isfinite(x).all() and np.isfinite(y).all()):
        return None
    if not (np.isfinite(error).all() and (error > 0).all()):
        return None
    lower = [float(bounds[2 * k]) for k in range(3)]
    upper = [float(bounds[2 * k + 1]) for k in range(3)]
    start = [min(max(float(initial[k]), lower[k]), upper[k]) for k in range(3)]
    xs, ys, es = x.astype(float).tolist(), y.astype(float).tolist(), error.astype(float).tolist()
    outcome = solve(
        GaussianResiduals(xs, ys, es),
        float(ftol),
        float(xtol),
        float(gtol),
        int(max_iter),
        start,
        lower,
        upper,
    )
    if outcome is None or outcome[0] not in CONVERGED:
        return None
    _, p, bestnorm = outcome
    errors = gaussian_uncertainties(xs, es, p, bestnorm)
    return (f32(p[0]), f32(p[1]), f32(p[2]), *errors, f32(bestnorm))


def failed_row(flag):
    row = np.full(8, NAN_BITS, dtype=np.float32)
    row[7] = flag
    return row


def fit_gaussian_f32(x, y, error, initial, lower_bounds, upper_bounds, xtol, ftol, gtol, max_iter):
    """The result row for arguments that pass the input checks."""
    bounds = [v for k in range(3) for v in (lower_bounds[k], upper_bounds[k])]
    fit = fit_bounded_gaussian(
        x, y, error, list(initial), bounds, f32(xtol), f32(ftol), f32(gtol), max_iter
    )
    if fit is None:
        return failed_row(2.0)
    return np.array([*fit[:6], reduced_chi2(fit[6], len(x)), 0.0], dtype=np.float32)


def fit_spectrum_window(spectrum, dopp_slit, spec_noise, guide, settings):
    """(row, (i_left, i_right)) for one spectrum; settings as the keyword
    arguments of the module function."""
    s = settings
    n = s["sg_xpixels"]
    spectrum, dopp_slit, spec_noise = spectrum[:n], dopp_slit[:n], spec_noise[:n]
    g, vrange, dv = f32(guide), f32(s["velocity_range"]), f32(s["dv"])
    with np.errstate(all="ignore"):
        radius = f32(s["npix_slack"]) * dv + vrange
        distance = np.abs(dopp_slit - g)
        best, p = f32(-np.inf), 0
        for i in range(n):
            if distance[i] <= radius and spectrum[i] > best:
                best, p = spectrum[i], i
        if not best > 0:
            return failed_row(1.0), (0, 0)
        w = dopp_slit[p]
        if not abs(w - g) <= vrange:
            return failed_row(1.0), (0, 0)
        h = max(s["npix"], 0)
        left, right = (p - h if p >= h else 0), min(p + h + 1, n)
        if right - left <= 2 * h:
            left, right = (p - h - 1 if p >= h + 1 else 0), min(p + h + 2, n)
        hw = dv * f32(h)
        xs = dopp_slit[left:right]
        ys = spectrum[left:right] / best
        es = spec_noise[left:right] / best
        keep = np.isfinite(xs) & np.isfinite(ys) & np.isfinite(es) & (es > 0)
        window = (left, right)
        if keep.sum() < 3:
            return failed_row(1.0), window
        bounds = [
            f32(s["amplitude_rel_min"]), f32(s["amplitude_rel_max"]),
            w - hw, w + hw,
            f32(s["width_min"]), f32(s["width_max"]),
        ]  # fmt: skip
        tol = [f32(s.get(k, 1e-6)) for k in ("xtol", "ftol", "gtol")]
        initial = [f32(1.0), w, f32(s["width_guess"])]
        fit = fit_bounded_gaussian(
            xs[keep], ys[keep], es[keep], initial, bounds, *tol, s.get("max_iter", 2000)
        )
        if fit is None:
            return failed_row(2.0), window
        amp, mu, sig, ea, em, es_, chi2 = fit
        row = [
            amp * best,
            mu,
            sig,
            best * ea,
            em,
            es_,
            reduced_chi2(chi2, int(keep.sum())),
            f32(0.0),
        ]
        return np.array(row, dtype=np.float32), window
