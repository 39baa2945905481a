// The decisions of the screenshot series, the demo recording and the media
// self-test that need no window: the guest list, the picture size, the
// pacing and gliding of the recording, the choice of the install image.
#include <gtest/gtest.h>

#include "app/app.h"
#include "media/media.h"
#include "tools/demo.h"
#include "tools/shots.h"

namespace {

std::vector<std::string> names(const std::vector<ShotGuest>& guests) {
  std::vector<std::string> out;
  for (const ShotGuest& g : guests) out.push_back(g.name + "/" + g.profile + "/" + g.picture);
  return out;
}

const std::vector<std::string> kDefault{"Leopard PPC/macosx-ppc/"};

MediaItem item(const char* file, u64 size) {
  MediaItem m;
  m.file = file;
  m.size = size;
  return m;
}

}  // namespace

TEST(ShotGuests, EntriesWithAnUnknownProfileAreDropped) {
  EXPECT_EQ(names(shot_guests("One|linux-x64;Two|nosuchprofile;Three|macos7-68k|")),
            (std::vector<std::string>{"One/linux-x64/", "Three/macos7-68k/"}));
  // A trailing ";" starts no entry; a name alone has no profile.
  EXPECT_EQ(names(shot_guests("A|linux-x64;")), std::vector<std::string>{"A/linux-x64/"});
  EXPECT_EQ(names(shot_guests("Solo")), kDefault);
  // Fields are not trimmed: a blank before the name stays, one before the
  // profile id makes it unknown.
  EXPECT_EQ(names(shot_guests(" Lead|linux-x64")), std::vector<std::string>{" Lead/linux-x64/"});
  EXPECT_EQ(names(shot_guests("X| linux-x64")), kDefault);
  EXPECT_EQ(names(shot_guests("")), kDefault);
  EXPECT_EQ(names(shot_guests(";;;")), kDefault);
}

TEST(ShotGuests, ThePictureIsTheWholeRest) {
  EXPECT_EQ(names(shot_guests("A|linux-x64|C:\\pics\\a|b.png")),
            std::vector<std::string>{"A/linux-x64/C:\\pics\\a|b.png"});
  EXPECT_EQ(names(shot_guests("A|linux-x64|;B|other-x64||x")),
            (std::vector<std::string>{"A/linux-x64/", "B/other-x64/|x"}));
}

TEST(ShotGuests, ALongValueIsReadWhole) {
  // Far beyond 4096 UTF-16 units, with the only usable guests at its end.
  std::string value;
  while (value.size() < 20000) value += "Nobody|none;";
  value += "Last|other-x64;Ünïcode|linux-x64";
  ASSERT_TRUE(SetEnvironmentVariableW(L"VUNK_TEST_LONG_GUESTS", widen(value).c_str()));
  std::wstring got = env_value(L"VUNK_TEST_LONG_GUESTS");
  EXPECT_EQ(narrow(got), value);
  EXPECT_EQ(names(shot_guests(narrow(got))),
            (std::vector<std::string>{"Last/other-x64/", "Ünïcode/linux-x64/"}));
  SetEnvironmentVariableW(L"VUNK_TEST_LONG_GUESTS", nullptr);
  EXPECT_EQ(env_value(L"VUNK_TEST_LONG_GUESTS"), L"");
}

TEST(ShotsSize, DefaultsLeadingDigitsAndLimits) {
  auto size = [](std::vector<std::wstring> tail) {
    std::vector<std::wstring> argv{L"vunk", L"--shots", L"out"};
    argv.insert(argv.end(), tail.begin(), tail.end());
    int w = -1, h = -1;
    bool ok = shots_size(argv, w, h);
    return ok ? std::to_string(w) + "x" + std::to_string(h) : std::string("no");
  };
  EXPECT_EQ(size({}), "1640x1000");
  EXPECT_EQ(size({L"1280"}), "1280x1000");
  EXPECT_EQ(size({L"1280", L"800"}), "1280x800");
  EXPECT_EQ(size({L"12abc", L"9px"}), "12x9");
  EXPECT_EQ(size({L"16384", L"1"}), "16384x1");
  EXPECT_EQ(size({L"16385", L"800"}), "no");
  EXPECT_EQ(size({L"0", L"800"}), "no");
  EXPECT_EQ(size({L"1280", L"0"}), "no");
  EXPECT_EQ(size({L"x"}), "no");
  EXPECT_EQ(size({L"-5", L"800"}), "no");
  // Twenty digits: far too wide, not a small size after an overflow.
  EXPECT_EQ(size({L"1280", L"18446744073709552416"}), "no");
}

TEST(ShotHistories, PeersJoinOverTheFirstFortySamples) {
  MediaJob job;
  shot_histories(job);
  ASSERT_EQ(job.hist_down.size(), 480u);
  ASSERT_EQ(job.hist_mirrors.size(), 480u);
  ASSERT_EQ(job.hist_peers.size(), 480u);
  for (int k = 0; k < 480; ++k) {
    EXPECT_EQ(job.hist_down[k], job.hist_mirrors[k] + job.hist_peers[k]);
    EXPECT_GE(job.hist_peers[k], 0);
    EXPECT_GE(job.hist_mirrors[k], 25e6f);
    EXPECT_LE(job.hist_mirrors[k], 37e6f);
  }
  // Values worked out from the series' formulas; the first 40 peer samples
  // are held back by (40 - k) x 400 kB/s.
  EXPECT_NEAR(job.hist_peers[0], 5573239, 2);
  EXPECT_NEAR(job.hist_peers[20], 11019153, 2);
  EXPECT_NEAR(job.hist_peers[40], 6635506, 2);
  EXPECT_NEAR(job.hist_mirrors[40], 34941920, 4);
  EXPECT_NEAR(job.hist_down[479], 53740004, 8);
  EXPECT_EQ(shot_cpu_history(9999).size(), 200u);
  EXPECT_NE(shot_cpu_history(9999), shot_cpu_history(9998));
}

TEST(Glide, FramesOfTheTour) {
  // The tour's counts include the frame drawn before the pointer moves.
  EXPECT_EQ(1 + glide_steps(0.9), 55);
  EXPECT_EQ(1 + glide_steps(1.1), 67);
  EXPECT_EQ(1 + glide_steps(1.2), 73);
  EXPECT_EQ(1 + glide_steps(0.6), 37);
  EXPECT_EQ(1 + glide_steps(1.0), 61);
  EXPECT_EQ(1 + glide_steps(0.1), 7);
  EXPECT_EQ(glide_steps(0.001), 1);
  EXPECT_EQ(glide_steps(0), 1);
}

TEST(Glide, ArcsAboveTheLineAndLandsOnTheCentre) {
  D2D_POINT_2F a{100, 200}, b{300, 200};
  D2D_POINT_2F mid = glide_point(a, b, 1, 2);
  EXPECT_FLOAT_EQ(mid.x, 200);
  EXPECT_FLOAT_EQ(mid.y, 182);  // 18 DIPs above the middle
  D2D_POINT_2F end = glide_point(a, b, 36, 36);
  EXPECT_FLOAT_EQ(end.x, 300);
  EXPECT_NEAR(end.y, 200, 1e-4);
  D2D_POINT_2F first = glide_point(a, b, 1, 36);
  EXPECT_GT(first.x, 100);
  EXPECT_LT(first.x, 101);  // eased: a slow start
}

TEST(Pace, SleepsWhenEarlyAndCountsOnlyMoreThanAFiftiethLate) {
  Pace p = pace_frame(10.0, 60, 10.5);  // due at 11.0
  EXPECT_EQ(p.sleep_ms, 500u);
  EXPECT_FALSE(p.late);
  p = pace_frame(10.0, 60, 10.9995);
  EXPECT_EQ(p.sleep_ms, 0u);  // less than a millisecond: truncated
  EXPECT_FALSE(p.late);
  EXPECT_FALSE(pace_frame(0.0, 0, 0.0).late);
  EXPECT_FALSE(pace_frame(0.0, 0, 0.05).late);
  EXPECT_TRUE(pace_frame(0.0, 0, 0.051).late);
  EXPECT_EQ(pace_frame(0.0, 0, 0.051).sleep_ms, 0u);
  // The schedule is absolute: frame 600 is due 10 s after the start.
  EXPECT_FALSE(pace_frame(5.0, 600, 15.04).late);
  EXPECT_TRUE(pace_frame(5.0, 600, 15.06).late);
}

TEST(Demo, EncoderCommandLine) {
  EXPECT_EQ(demo_command(L"C:\\Tiger Root\\ffmpeg\\bin\\ffmpeg.exe", 1920, 1080, L"D:\\My Videos\\demo.mp4"),
            L"\"C:\\Tiger Root\\ffmpeg\\bin\\ffmpeg.exe\" -hide_banner -loglevel warning -f rawvideo -pix_fmt bgra "
            L"-s 1920x1080 -r 60 -i - -vf scale=out_color_matrix=bt709:out_range=tv,format=yuv420p -c:v h264_nvenc "
            L"-preset p6 -tune hq -rc vbr -cq 19 -b:v 0 -maxrate 45M -bufsize 90M -profile:v high -colorspace bt709 "
            L"-color_primaries bt709 -color_trc bt709 -movflags +faststart -y \"D:\\My Videos\\demo.mp4\"");
}

TEST(SmallestItem, TheSmallestWithASize) {
  const u64 GiB = 1ull << 30, MiB = 1ull << 20;
  std::vector<MediaItem> items{item("ubuntu", 5800 * MiB), item("debian", 650 * MiB), item("omarchy", 0)};
  EXPECT_EQ(smallest_item(items)->file, "debian");
  // An item of unknown size never replaces a pick; a first one stays.
  items = {item("first", 0), item("b", 3 * GiB), item("c", 1 * GiB)};
  EXPECT_EQ(smallest_item(items)->file, "first");
  items = {item("a", 3000000000ull), item("b", 0), item("c", 1000000000ull)};
  EXPECT_EQ(smallest_item(items)->file, "c");
  items = {item("a", GiB), item("b", GiB)};
  EXPECT_EQ(smallest_item(items)->file, "a");  // the first of equals
  EXPECT_EQ(smallest_item({}), nullptr);
}
