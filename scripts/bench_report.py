#!/usr/bin/env python3
"""Prints Google Benchmark results with each figure beside its reference.

Naming rule: a benchmark of the library is BM_<group>[/args]; a reference
measured in the same run is BM_<group>__<reference>[/args]. Each reference is
printed under the figure it belongs to, with the ratio ours / reference
(below 1.0: ours is faster). A figure with an `aim` counter (the ratio it
must not exceed) prints the aim and whether the ratio meets it.
"""
import json
import sys


def split(name):
    base, _, args = name.partition('/')
    group, _, ref = base.partition('__')
    return group, ref, args


def main(path):
    with open(path) as f:
        data = json.load(f)
    benchmarks = data.get('benchmarks', [])
    # With repetitions, the median of each benchmark's runs stands for it.
    rows = [dict(b, name=b['run_name']) for b in benchmarks
            if b.get('run_type') == 'aggregate' and b.get('aggregate_name') == 'median']
    if not rows:
        rows = [b for b in benchmarks if b.get('run_type', 'iteration') == 'iteration']
    ours = {}
    refs = {}
    order = []
    for b in rows:
        group, ref, args = split(b['name'])
        key = (group, args)
        if key not in order:
            order.append(key)
        if ref:
            refs.setdefault(key, []).append((ref, b))
        else:
            ours[key] = b
    unit_scale = {'ns': 1.0, 'us': 1e3, 'ms': 1e6, 's': 1e9}
    def ns(b):
        return b['real_time'] * unit_scale.get(b.get('time_unit', 'ns'), 1.0)
    def rate(b):
        if 'bytes_per_second' in b:
            return '%9.1f MB/s' % (b['bytes_per_second'] / 1e6)
        return ''
    # Random interleaving shuffles the runs: list them by name.
    order.sort()
    print('%-52s %14s %14s %8s' % ('benchmark', 'time', 'throughput', 'ratio'))
    for key in order:
        group, args = key
        label = group + ('/' + args if args else '')
        mine = ours.get(key)
        if mine:
            print('%-52s %11.1f ns %14s' % (label, ns(mine), rate(mine)))
        for ref, b in refs.get(key, []):
            ratio = ('%7.2fx' % (ns(mine) / ns(b))) if mine and ns(b) > 0 else ''
            aim = ''
            if ratio and 'aim' in mine:
                met = ns(mine) / ns(b) <= mine['aim']
                aim = '  aim <= %.2fx %s' % (mine['aim'], 'met' if met else 'NOT MET')
            print('  %-50s %11.1f ns %14s %8s%s' % ('reference: ' + ref, ns(b), rate(b), ratio, aim))
        extra = {k: v for k, v in (mine or {}).items() if k.startswith('size_') or k.startswith('ratio_')}
        for k, v in extra.items():
            print('  %-50s %14s' % (k, v))


if __name__ == '__main__':
    main(sys.argv[1])
