#!/usr/bin/env python3
"""Finds the integer forms of src/convert/ycbcr_forms.h and checks them exhaustively.

Every Y'CbCr variant rounds half up, so each channel is floor(c + t + 1/2),
with c the luma's share and t the chroma's (a function of d = Cb - 128 and
e = Cr - 128, exact fractions from the standard's Kr and Kb).

Full range (c = Y): channel = Y + O, O = floor(t + 1/2), one integer per chroma
sample. Limited range (c = (Y - 16) 255/219): with v = 255 Y,
channel = floor((v - M) / 219) for the integer M = ceil(3970.5 - 219 t),
also one per chroma sample. Writing v = 219 q + j and M = 219 Mq + Mr
(0 <= j, Mr < 219) gives channel = q - Mq - [j < Mr]: per pixel only 16-bit
work, and no rounding anywhere, so the row is exact by construction once O,
M and Mq are.

This tool finds, for each per-sample integer, a form
floor((a d + b e + bias) / 2^s) that equals it for all 65536 (d, e) and whose
products and sums fit signed 32-bit lanes, searching multipliers next to the
slope times 2^s and taking the bias from the interval every pair allows.
Run it to print the constants (numpy needed):  python3 bench/ycbcr_forms.py
"""
import numpy as np

UNIT = 10000
WEIGHTS = {"bt601": (2990, 1140), "bt709": (2126, 722)}
LIMIT = 2**31

d, e = np.meshgrid(np.arange(-128, 128, dtype=np.int64), np.arange(-128, 128, dtype=np.int64),
                   indexing="ij")
d, e = d.ravel(), e.ravel()


def chroma_terms(encoding, limited):
    """t of R, G, B as (numerator arrays, denominator): t = n / den."""
    kr, kb = WEIGHTS[encoding]
    kg = UNIT - kr - kb
    cs_n, cs_d = (255, 224) if limited else (1, 1)
    den = cs_d * UNIT * kg
    r = cs_n * 2 * (UNIT - kr) * kg * e
    b = cs_n * 2 * (UNIT - kb) * kg * d
    g = -cs_n * (2 * kb * (UNIT - kb) * d + 2 * kr * (UNIT - kr) * e)
    return {"r": r, "g": g, "b": b}, den


def floor_div(a, b):
    return a // b  # numpy floors for int64


def targets(encoding, limited):
    """Per channel: the per-sample integers the rows need."""
    terms, den = chroma_terms(encoding, limited)
    out = {}
    for ch, n in terms.items():
        if limited:
            m = -floor_div(-(7941 * den - 438 * n), 2 * den)  # ceil((7941 - 438 t) / 2)
            out[ch] = {"M": m, "Mq": floor_div(m, 219)}
        else:
            out[ch] = {"O": floor_div(2 * n + den, 2 * den)}
    return out


def slope(target, var):
    """Least-squares slope of the target in d or e (the exact one, up to rounding)."""
    x = d if var == "d" else e
    return float(np.polyfit(x.astype(float), target.astype(float), 1)[0])


def find_form(target, uses_d, uses_e, wrapped=False, spread=3):
    """The smallest shift with a form floor((a d + b e + bias) >> s) equal to target.

    Plain forms keep every product and sum inside signed 32 bits. Wrapped forms
    are exact only in their low 32 bits (the lanes wrap): they give target
    modulo 2^(32 - s), at least 256, and any multiplier that fits 32 bits."""
    sd = slope(target, "d") if uses_d else 0.0
    se = slope(target, "e") if uses_e else 0.0
    for s in range(0, 25 if wrapped else 31):
        a0, b0 = round(sd * 2**s), round(se * 2**s)
        if max(abs(a0), abs(b0)) * (1 if wrapped else 256) >= LIMIT:
            break
        for i in sorted(range(-spread, spread + 1) if uses_d else [0], key=abs):
            for k in sorted(range(-spread, spread + 1) if uses_e else [0], key=abs):
                a, b = a0 + i, b0 + k
                lin = a * d + b * e
                lo = int(np.max(target * 2**s - lin))
                hi = int(np.min((target + 1) * 2**s - 1 - lin))
                if lo > hi:
                    continue
                bias = lo + (hi - lo) // 2
                if wrapped:
                    return (a, b, bias % 2**32, s)
                if int(np.max(np.abs(lin + bias))) < LIMIT:
                    return (a, b, bias, s)
    raise SystemExit("no form found")


def evaluate(form, wrapped=False):
    a, b, bias, s = form
    if wrapped:
        return ((a * d + b * e + bias) % 2**32) >> s
    return (a * d + b * e + bias) >> s


def check_rows(encoding, limited, forms, luma_mul):
    """The whole row formula against the exact rounding, for all 2^24 triples."""
    terms, den = chroma_terms(encoding, limited)
    per_sample = {}
    for ch in "rgb":
        if limited:
            mq = evaluate(forms[ch]["Mq"])
            s = forms[ch]["M"][3]
            mr = (evaluate(forms[ch]["M"], True) - 219 * mq) % 2**(32 - s)
            per_sample[ch] = (-mq, mr)
        else:
            per_sample[ch] = (evaluate(forms[ch]["O"]), 0)
    for y in range(256):
        f = (y * luma_mul) >> 16
        q, j = (y + f, 36 * y - 219 * f) if limited else (y, 0)
        for ch in "rgb":
            off, mr = per_sample[ch]
            got = np.clip(q + off - (j < mr), 0, 255)
            c = (255 * (y - 16) * den) if limited else (y * 219 * den)
            # reference: round((c + 219 t) / (219 den)) with t = n / den, half up
            num = c + 219 * terms[ch] if limited else y * den + terms[ch]
            div = 219 * den if limited else den
            want = np.clip((2 * num + div) // (2 * div), 0, 255)
            assert np.array_equal(got, want), (encoding, limited, ch, y)


def luma_split():
    """q = y + mulhi(y, m) = floor(255 y / 219), j = 36 y - 219 (q - y), for y = 0..255."""
    y = np.arange(256, dtype=np.int64)
    for m in range(10700, 10900):
        if np.array_equal(y + ((y * m) >> 16), (255 * y) // 219):
            return m
    raise SystemExit("no luma multiplier")


def main():
    m = luma_split()
    print("luma: q = y + mulhi_epu16(y, %d)" % m)
    for encoding, limited in (("bt601", True), ("bt709", False), ("bt709", True)):
        name = "%s %s" % (encoding, "limited" if limited else "full")
        forms = {}
        for ch, wanted in targets(encoding, limited).items():
            forms[ch] = {}
            for what, target in wanted.items():
                wrapped = what == "M"
                form = find_form(target, ch != "r", ch != "b", wrapped)
                if wrapped:
                    assert np.array_equal(evaluate(form, True), target % 2**(32 - form[3]))
                else:
                    assert np.array_equal(evaluate(form), target)
                forms[ch][what] = form
                print("%-14s %s %-2s {%d, %d, %d, %d}  range %d..%d"
                      % (name, ch, what, *form, target.min(), target.max()))
        check_rows(encoding, limited, forms, m)
        print("%-14s all 2^24 (Y, Cb, Cr) exact" % name)


if __name__ == "__main__":
    main()
