#!/usr/bin/env python3
"""Counts the wineserver requests one program made, by request name, from a trace of
`wineserver -d1` (its standard error).

Usage: count-server-requests.py TRACE PROGRAM [FIRST_LINE [LAST_LINE]]

PROGRAM is the program's file name (for example Vistrel.exe); its process is the one
whose thread first names it in a request (the loader looks up its settings by name).
Only request lines from FIRST_LINE to LAST_LINE (1-based, inclusive) are counted; the
lines before are still read to learn which threads belong to which process.
"""
import collections
import re
import sys

REPLY = re.compile(r'^([0-9a-f]{4}): (\w+)\(\) = (\w+)(.*)$')
REQUEST = re.compile(r'^([0-9a-f]{4}): (\w+)\((.*)$')


def count(path, program, first, last):
    thread_process = {}     # thread id -> process id
    creating = set()        # threads waiting for the reply of a new_thread in their own process
    target = None
    counts = collections.Counter()
    with open(path, errors='replace') as trace:
        for number, line in enumerate(trace, 1):
            if last is not None and number > last:
                break
            reply = REPLY.match(line)
            if reply:
                thread, name, _, rest = reply.groups()
                if name == 'init_first_thread':
                    found = re.search(r'pid=([0-9a-f]+)', rest)
                    if found:
                        thread_process[thread] = found.group(1)
                elif name == 'new_thread' and thread in creating:
                    creating.discard(thread)
                    found = re.search(r'tid=([0-9a-f]+)', rest)
                    if found:
                        thread_process[found.group(1)] = thread_process.get(thread)
                continue
            request = REQUEST.match(line)
            if not request:
                continue
            thread, name, rest = request.groups()
            if target is None and program.lower() in line.lower() and thread in thread_process:
                target = thread_process[thread]
            if name == 'new_thread' and 'process=ffffffff' in rest:
                creating.add(thread)
            if number >= first and target is not None and thread_process.get(thread) == target:
                counts[name] += 1
    return counts


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    first = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    last = int(sys.argv[4]) if len(sys.argv) > 4 else None
    counts = count(sys.argv[1], sys.argv[2], first, last)
    print(f'{sum(counts.values()):8d} requests in all')
    for name, n in counts.most_common(15):
        print(f'{n:8d} {name}')


if __name__ == '__main__':
    main()
