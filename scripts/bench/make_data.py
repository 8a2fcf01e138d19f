#!/usr/bin/env python3
"""Data files for the benchmark: N experiments of a shop, with a realistic mix of
contains (C), equals (E) and regular-expression (R) conditions.

Most experiments target pages of their own (a category, a product, a landing
page, a blog post, a campaign) that the benchmark never requests, so they cost
what a real file costs: every condition is evaluated against every URL.  A few
experiments target the URLs the benchmark does request:

  REDIRECT_URL   the experiment REDIRECT_ID, whose variations cover all the
                 traffic (0.5 + 0.5): every visitor is redirected to a
                 variation; from 10 experiments on, a later experiment on the
                 whole promo section targets it too (the first one decides);
  REFERENCE_URL  the experiment REFERENCE_ID, whose only variation has no
                 traffic (weight 0, a paused variation): every visitor is
                 targeted, gets a visitor code and sees the reference;
  UNTARGETED_URL no experiment.

With --targeting K, K experiments target REDIRECT_URL instead (the redirect
experiment first, the others spread over the file, each with a contains or
a regular-expression condition on the promo page), and no experiment the
reference URL: what the number of experiments that target one URL costs.
long_url() makes REDIRECT_URL as long as asked, for what a URL's length costs.

Every output is a pure function of its arguments, so runs compare.

    make_data.py COUNT [--focus redirect|reference] [--seed N] [--all-regex]
                 [--targeting K] [-o FILE]
"""

import argparse
import json
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests/support"))
from vantorell_harness import cond, group  # noqa: E402
import vantorell_harness  # noqa: E402

HOST = "shop.example"
UNTARGETED_URL = "/about/team"
REFERENCE_URL = "/shop/category/bags?page=2"
REDIRECT_URL = "/promo/spring-sale?utm_source=newsletter"

REDIRECT_ID = 4242
REFERENCE_ID = 5353
PROMO_SECTION_ID = 6464
REDIRECT_VARIATIONS = (1, 2)
REFERENCE_VARIATION = 1

WORDS = ("shoes", "shirts", "jackets", "hats", "watches", "lamps", "chairs", "tables",
         "rugs", "mugs", "socks", "scarves", "belts", "gloves", "boots", "kettles",
         "pillows", "towels", "plates", "bottles")
LANGS = ("en", "fr", "de", "es", "it")
# The share of each match type among the generated conditions: contains is the
# most common, equals next, regular expressions last (they are the costly ones).
MATCH_WEIGHTS = (("C", 50), ("E", 30), ("R", 20))


def experiment(eid, groups, variations, letter="PAGE", base=None):
    return vantorell_harness.experiment(eid, groups, variations, letter,
                                        base or "https://%s/" % HOST)


def variation(vid, weight, page):
    return vantorell_harness.variation(vid, weight, "https://%s%s" % (HOST, page))


def page_condition(rng, n, cid, op="|", all_regex=False):
    """One condition on a page owned by experiment number n: the number in
    every URL keeps the generated experiments away from the requested URLs.
    all_regex: a regular expression whatever the draw (the same experiments
    otherwise), for measuring what patterns cost."""
    match = rng.choices([m for m, _ in MATCH_WEIGHTS], [w for _, w in MATCH_WEIGHTS])[0]
    if all_regex:
        match = "R"
    word = rng.choice(WORDS)
    if match == "C":
        url = rng.choice((
            "%s/category/%s-%d" % (HOST, word, n),
            "/landing/%s-%d" % (word, n),
            "utm_campaign=%s%d" % (word, n),
            "%s/collections/%s-%d/" % (HOST, word, n),
        ))
    elif match == "E":
        url = rng.choice((
            "%s/product/%d" % (HOST, 100000 + n),
            "%s/product/%d?color=red" % (HOST, 100000 + n),
            "%s/landing/%s-%d" % (HOST, word, n),
        ))
    else:
        url = rng.choice((
            r"^shop\.example/(%s)/blog/%s-%d(/|\?|$)" % ("|".join(LANGS), word, n),
            r"/product/%d-[a-z0-9-]+$" % (100000 + n),
            r"^shop\.example/landing/%s-%d\?.*utm_source=(mail|ads|social)" % (word, n),
            r"/category/%s-%d/page-[0-9]+" % (word, n),
        ))
    return cond(url, match, op=op, cid=cid)


def filler(rng, n, all_regex=False):
    """An experiment on pages of its own: one or two groups of one to three
    conditions, sometimes narrowed by an excluding condition."""
    eid = 10000 + n
    cid = 1
    groups = []
    for _ in range(rng.choice((1, 1, 1, 2))):
        conditions = []
        for _ in range(rng.choice((1, 1, 2, 3))):
            conditions.append(page_condition(rng, n, cid, all_regex=all_regex))
            cid += 1
        if rng.random() < 0.2:
            # "... and not on the checkout": an & after a satisfied condition
            conditions.append(cond("/checkout", "C", include="N", op="&", cid=cid))
            cid += 1
        groups.append(group(*conditions))
    shares = rng.choice(((0.5, 0.5), (0.34, 0.33, 0.33), (0.25, 0.25), (0.1,), (0.5,)))
    variations = [variation(v + 1, w, "/v%d-%d" % (n, v + 1)) for v, w in enumerate(shares)]
    return experiment(eid, groups, variations, letter=rng.choice(("PAGE", "PAGE", "PAGE", "URL")))


def redirect_experiment():
    return experiment(REDIRECT_ID, [group(
        cond("%s/promo/spring-sale" % HOST, "C", cid=1),
        cond("/checkout", "C", include="N", op="&", cid=2),
    )], [variation(v, 0.5, "/promo/spring-sale-%d" % v) for v in REDIRECT_VARIATIONS])


def reference_experiment():
    return experiment(REFERENCE_ID, [group(
        cond(r"^shop\.example/shop/category/[a-z-]+(\?|$)", "R", cid=1),
    ), group(
        cond("%s/shop/category/bags" % HOST, "E", cid=2),
    )], [variation(REFERENCE_VARIATION, 0.0, "/shop/category/bags-new")])


def promo_section_experiment():
    return experiment(PROMO_SECTION_ID, [group(
        cond(r"^shop\.example/promo/", "R", cid=1),
    )], [variation(1, 0.5, "/promo-banner")])


def promo_page_experiment(i):
    """Another experiment on REDIRECT_URL (and on its longer forms): every
    third one by a regular expression."""
    if i % 3 == 2:
        condition = cond(r"^shop\.example/promo/spring-sale(\?|$)", "R", cid=1)
    else:
        condition = cond("%s/promo/spring-sale" % HOST, "C", cid=1)
    return experiment(30000 + i, [group(condition)],
                      [variation(v, 0.5, "/promo/spring-sale-%d-%d" % (i, v)) for v in (1, 2)])


def experiments(count, focus="redirect", seed=1, all_regex=False, targeting=None):
    """count experiments.  From two on, the file holds both the redirect and
    the reference experiment (at a third and two thirds of the file, where a
    real file has them: anywhere); a one-experiment file holds the one that
    focus names.  targeting: that many experiments on REDIRECT_URL instead,
    at even steps from the file's start, the redirect experiment first."""
    if count < 1:
        raise ValueError("count must be at least 1")
    if targeting is not None and not 1 <= targeting <= count:
        raise ValueError("targeting must be between 1 and count")
    if count == 1:
        return [redirect_experiment() if focus == "redirect" else reference_experiment()]
    rng = random.Random(seed)
    if targeting is not None:
        placed = {(i * count) // targeting: promo_page_experiment(i) if i else
                  redirect_experiment() for i in range(targeting)}
    else:
        placed = {count // 3: redirect_experiment(), (2 * count) // 3: reference_experiment()}
        if count >= 10:
            placed[count - 1] = promo_section_experiment()
    out = []
    for n in range(count):
        out.append(placed[n] if n in placed else filler(rng, n, all_regex))
    return out


def document(count, focus="redirect", seed=1, all_regex=False, targeting=None):
    return json.dumps(experiments(count, focus, seed, all_regex, targeting)) + "\n"


def long_url(length):
    """REDIRECT_URL with a campaign argument that makes it length bytes long
    (path and arguments): the words of a real campaign's text, and the
    experiments that target REDIRECT_URL target it too."""
    head = REDIRECT_URL + "&utm_content="
    if length < len(head) + 1:
        raise ValueError("a URL of at least %d bytes" % (len(head) + 1))
    words = "-".join(WORDS) + "-"
    return head + (words * (length // len(words) + 1))[:length - len(head)]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("count", type=int)
    ap.add_argument("--focus", choices=("redirect", "reference"), default="redirect")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--all-regex", action="store_true",
                    help="every generated condition a regular expression")
    ap.add_argument("--targeting", type=int, metavar="K",
                    help="K experiments target the redirected URL")
    ap.add_argument("-o", "--output", default="-")
    args = ap.parse_args(argv)
    try:
        text = document(args.count, args.focus, args.seed, args.all_regex, args.targeting)
    except ValueError as e:
        ap.error(str(e))
    if args.output == "-":
        sys.stdout.write(text)
    else:
        with open(args.output, "w") as f:
            f.write(text)


if __name__ == "__main__":
    main()
