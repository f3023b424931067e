// Differential fuzzing of the resampler: for random small pictures and target sizes, every
// kernel of BilinearInterpolate gives the bytes of the step-by-step reference, or both raise
// the out-of-range error; the target's filler bytes are never written, and nothing is written
// when the error is raised.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "imaging/bilinear.h"
#include "imaging/resample_reference.h"
#include "platform/runtime/errors.h"

namespace {

using pictoss::ConstPixelGrid;
using pictoss::PixelGrid;
using pictoss::PixelKernel;

LONG RowBytes(LONG width) {
  return (3 * width + 3) & ~3;
}

// The error number that the call raised, or nullopt.
template <class Call>
std::optional<std::int32_t> Raised(Call&& call) {
  try {
    call();
  } catch (const platform::RuntimeError& e) {
    return e.number();
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const LONG sw = in.ConsumeIntegralInRange<LONG>(0, 33);
  const LONG sh = in.ConsumeIntegralInRange<LONG>(0, 33);
  const LONG tw = in.ConsumeIntegralInRange<LONG>(1, 67);
  const LONG th = in.ConsumeIntegralInRange<LONG>(1, 67);
  const BYTE filler = in.ConsumeIntegral<BYTE>();
  std::vector<BYTE> source = in.ConsumeBytes<BYTE>(static_cast<std::size_t>(RowBytes(sw)) * sh);
  source.resize(static_cast<std::size_t>(RowBytes(sw)) * sh, 0x3C);
  const ConstPixelGrid from{source.empty() ? nullptr : source.data(), RowBytes(sw), sw, sh};

  const std::size_t targetBytes = static_cast<std::size_t>(RowBytes(tw)) * th;
  std::vector<BYTE> expected(targetBytes, filler);
  const std::optional<std::int32_t> expectedError = Raised([&] {
    pictoss::reference::Interpolate(from, PixelGrid{expected.data(), RowBytes(tw), tw, th},
                                    u"fuzz");
  });
  if (expectedError && *expectedError != platform::kSubscriptOutOfRange) std::abort();

  for (PixelKernel kernel : {PixelKernel::kPortable, PixelKernel::kAvx2}) {
    std::vector<BYTE> target(targetBytes, filler);
    const std::optional<std::int32_t> error = Raised([&] {
      pictoss::BilinearInterpolate(from, PixelGrid{target.data(), RowBytes(tw), tw, th}, u"fuzz",
                                   kernel);
    });
    if (error != expectedError) std::abort();
    if (error) {
      for (BYTE b : target)
        if (b != filler) std::abort();
    } else if (target != expected) {
      std::abort();
    }
  }
  return 0;
}
