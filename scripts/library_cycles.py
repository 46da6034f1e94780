#!/usr/bin/env python3
"""Lists the cycles between the build's libraries.

Reads the dependency graph CMake writes with --graphviz (the top file, which
holds every target and its links) and prints each group of targets that
depend on each other, one group a line. Exit status 1 when there is any."""
import re
import sys


def main(path):
    names, edges = {}, {}
    node = re.compile(r'\s*"(node\d+)"\s*\[\s*label\s*=\s*"([^"]+)"')
    edge = re.compile(r'\s*"(node\d+)"\s*->\s*"(node\d+)"')
    with open(path, encoding="utf-8") as graph:
        for line in graph:
            if m := node.match(line):
                names[m.group(1)] = m.group(2)
            elif m := edge.match(line):
                edges.setdefault(m.group(1), set()).add(m.group(2))

    # Tarjan's strongly connected components, without recursion.
    index, low, on_stack, stack, groups = {}, {}, set(), [], []
    for root in names:
        if root in index:
            continue
        work = [(root, iter(sorted(edges.get(root, ()))))]
        index[root] = low[root] = len(index)
        stack.append(root)
        on_stack.add(root)
        while work:
            v, children = work[-1]
            child = next(children, None)
            if child is not None:
                if child not in index:
                    index[child] = low[child] = len(index)
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(sorted(edges.get(child, ())))))
                elif child in on_stack:
                    low[v] = min(low[v], index[child])
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[v])
            if low[v] == index[v]:
                group = []
                while True:
                    w = stack.pop()
                    on_stack.discard(w)
                    group.append(w)
                    if w == v:
                        break
                if len(group) > 1:
                    groups.append(sorted(names.get(w, w) for w in group))

    for group in groups:
        print("cycle: " + " <-> ".join(group))
    if not groups:
        print(f"no cycle among {len(names)} targets")
    return 1 if groups else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: library_cycles.py GRAPH.dot (from cmake --graphviz=GRAPH.dot)")
    sys.exit(main(sys.argv[1]))
