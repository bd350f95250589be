# What a user would write in awk: every case's share of picks on a common
# diagonal, one line each, reading any number of cases.
{ for (i = 1; i <= NF; i++) {
    if (left == 0) { n = $i; left = 2 * n; pending = n > 0; if (!pending) report(); continue }
    if (left % 2 == 0) x = $i; else { ne[$i - x]++; se[$i + x]++ }
    if (--left == 0) report()
  } }
function report(   k, s) {
  s = 0; for (k in ne) s += ne[k] * ne[k]; for (k in se) s += se[k] * se[k]
  printf "%.10f\n", (s - 2 * n) / (n * n); delete ne; delete se
}
