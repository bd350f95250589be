// The straightforward program, for comparison: formatted stream extraction,
// an ordered map per diagonal direction, and endl after every line.

#include <cstdint>
#include <iomanip>
#include <iostream>
#include <map>

int main() {
  std::ios::sync_with_stdio(false);
  for (;;) {
    std::int64_t N = 0;
    std::cin >> N;
    if (!std::cin.good()) return 0;
    std::map<std::int32_t, std::int32_t> NEdiags;
    std::map<std::int32_t, std::int32_t> SEdiags;
    for (std::int32_t i = 0; i < N; ++i) {
      std::int32_t X = 0;
      std::int32_t Y = 0;
      std::cin >> X >> Y;
      ++NEdiags[Y - X];
      ++SEdiags[X + Y];
    }
    std::int64_t resultativePicks = 0;
    for (const auto& [NEdiag, count] : NEdiags) resultativePicks += std::int64_t{count} * count;
    for (const auto& [SEdiag, count] : SEdiags) resultativePicks += std::int64_t{count} * count;
    const std::int64_t celkem = N * N;
    resultativePicks -= N + N;
    const double result = static_cast<double>(resultativePicks) / static_cast<double>(celkem);
    std::cout << std::fixed << std::setprecision(10) << result << std::endl;
  }
}
