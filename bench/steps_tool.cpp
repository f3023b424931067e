// steps_tool: the capture pipeline's layers timed one by one in this process, the first capture
// and the median of the later ones, to show which layer costs what:
//   grab    GrabFullScreen (screen read into a new bitmap, wrapped as a picture)
//   dib     cDIBSection::CreateFromPicture (new 24-bit DIB section, conversion blit)
//   jpeg    WriteJpegFile at quality 90 (encode and replace the file)
// or, with --one-pass, the capture command's one pass:
//   dib     cDIBSection::Create at the screen's size
//   pass    GrabEncoded (screen read into the DIB section and encoded; the picture shares it)
//   store   StoreJpegFile (replace the file)
//
//   steps_tool [--one-pass] [--repeat N] OUT.jpg
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include "capture/screen_capture.h"
#include "imaging/dib_section.h"
#include "imaging/jpeg_writer.h"
#include "platform/base/text.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 1;
  bool onePass = false;
  std::string out;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--one-pass")
      onePass = true;
    else if (a == "--repeat" && i + 1 < argc)
      repeat = std::atoi(argv[++i]);
    else
      out = a;
  }
  if (out.empty() || repeat < 1) {
    std::fprintf(stderr, "usage: steps_tool [--repeat N] OUT.jpg\n");
    return 2;
  }
  try {
    auto dib = platform::MakeRef<pictoss::cDIBSection>();
    std::vector<double> grab, convert, jpeg;
    for (int i = 0; i < repeat; ++i) {
      auto t0 = Clock::now(), t1 = t0, t2 = t0, t3 = t0;
      if (onePass) {
        pictoss::JpegRecord record;
        record.props.jquality = 90;
        const pictoss::ScreenGrab grab(true);
        const pictoss::GrabTarget& target = grab.target();
        record.props.JPGWidth = target.lWidth;
        record.props.JPGHeight = target.lHeight;
        dib->Create(target.lWidth, target.lHeight);
        t1 = Clock::now();
        platform::Ref<Picture> picture = grab.GrabEncoded(dib->hdc(), record.props);
        if (!picture) throw std::runtime_error("the one pass cannot be made here");
        pictoss::main().Picture1.SetPicture(picture);
        t2 = Clock::now();
        pictoss::StoreJpegFile(record.props, platform::FromAnsi(out));
        t3 = Clock::now();
      } else {
        platform::Ref<Picture> picture = pictoss::GrabFullScreen();
        t1 = Clock::now();
        dib->CreateFromPicture(picture.get());
        t2 = Clock::now();
        pictoss::WriteJpegFile(*dib, platform::FromAnsi(out), 90);
        t3 = Clock::now();
      }
      std::printf("capture %d: %s %.3f ms, %s %.3f ms, %s %.3f ms, total %.3f ms\n", i + 1,
                  onePass ? "dib" : "grab", Ms(t1 - t0), onePass ? "pass" : "dib", Ms(t2 - t1),
                  onePass ? "store" : "jpeg", Ms(t3 - t2), Ms(t3 - t0));
      if (i == 0) continue;
      grab.push_back(Ms(t1 - t0));
      convert.push_back(Ms(t2 - t1));
      jpeg.push_back(Ms(t3 - t2));
    }
    if (repeat > 1)
      std::printf("median of captures 2-%d: %.3f ms, %.3f ms, %.3f ms\n", repeat, Median(grab),
                  Median(convert), Median(jpeg));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "steps_tool: %s\n", e.what());
    return 1;
  }
  return 0;
}
