#!/usr/bin/env python3
"""Prints Google Benchmark results with each figure beside its reference.

Naming rule: a benchmark of the library is BM_<group>[/args]; a reference
measured in the same run is BM_<group>__<reference>[/args]. Each reference is
printed under the figure it belongs to, with the ratio ours / reference
(below 1.0: ours is faster).
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
    rows = [b for b in data.get('benchmarks', []) if b.get('run_type', 'iteration') == 'iteration']
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
    print('%-52s %14s %14s %8s' % ('benchmark', 'time', 'throughput', 'ratio'))
    for key in order:
        group, args = key
        label = group + ('/' + args if args else '')
        mine = ours.get(key)
        if mine:
            print('%-52s %11.1f ns %14s' % (label, ns(mine), rate(mine)))
        for ref, b in refs.get(key, []):
            ratio = ('%7.2fx' % (ns(mine) / ns(b))) if mine and ns(b) > 0 else ''
            print('  %-50s %11.1f ns %14s %8s' % ('reference: ' + ref, ns(b), rate(b), ratio))
        extra = {k: v for k, v in (mine or {}).items() if k.startswith('size_') or k.startswith('ratio_')}
        for k, v in extra.items():
            print('  %-50s %14s' % (k, v))


if __name__ == '__main__':
    main(sys.argv[1])
