#include <benchmark/benchmark.h>

#include "tray/eye_icon.h"

namespace {

// The icon is redrawn whenever a session starts or ends or the taskbar
// theme flips, on the UI thread; this keeps an eye on what one redraw costs.
void BM_RenderEyeIcon(benchmark::State& state) {
  const bool on = state.range(0) != 0;
  for (auto _ : state) {
    std::vector<std::uint8_t> pixels = orbel::render_eye_icon(on, false);
    benchmark::DoNotOptimize(pixels.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_RenderEyeIcon)->ArgName("on")->Arg(1)->Arg(0);

}  // namespace
