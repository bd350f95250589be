"""What a user would write in Python: every case's share of picks on a
common diagonal, one line each, with collections.Counter."""
import sys
from collections import Counter

numbers = sys.stdin.buffer.read().split()
at = 0
while at < len(numbers):
    n = int(numbers[at])
    xs = list(map(int, numbers[at + 1:at + 1 + 2 * n:2]))
    ys = list(map(int, numbers[at + 2:at + 2 + 2 * n:2]))
    at += 1 + 2 * max(n, 0)
    total = sum(c * c for c in Counter(y - x for x, y in zip(xs, ys)).values())
    total += sum(c * c for c in Counter(x + y for x, y in zip(xs, ys)).values())
    sys.stdout.write(f"{(total - 2 * n) / (n * n):.10f}\n")
