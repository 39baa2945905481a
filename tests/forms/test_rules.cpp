// The rules of the machine forms, against real files: names, pre-filled
// imports (an hformat'd volume included), qemu-img answers, edits, deletions
// and the dossier.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>

#include "app/form_rules.h"
#include "machines/machine.h"
#include "tests/support/test_support.h"

namespace {

std::wstring work(const std::string& leaf) { return path_join(build_path("forms-work"), widen(leaf)); }

struct FormsTest : testing::Test {
  Settings saved;
  std::wstring root;
  void SetUp() override {
    saved = g_set;
    root = test_dir("forms");
    g_set.tiger_root = path_join(root, L"no-tiger");
    g_set.tiger_script = path_join(root, L"no-tiger.ps1");
  }
  void TearDown() override {
    g_set = saved;
    remove_tree(root);
  }
};

}  // namespace

TEST(FormRules, CutNeverSplitsACharacter) {
  const std::string e = "\xC3\xA9", yen = "\xE6\x97\xA5", face = "\xF0\x9F\x98\x80";
  struct {
    std::string in;
    size_t max;
    std::string out;
  } rows[] = {
      {"short", 32, "short"},
      {std::string(40, 'x'), 32, std::string(32, 'x')},
      {std::string(30, 'a') + e + "b", 32, std::string(30, 'a') + e},  // ends exactly at the limit
      {std::string(31, 'a') + e, 32, std::string(31, 'a')},            // 2-byte char across the cut
      {std::string(30, 'a') + yen, 32, std::string(30, 'a')},          // 3-byte char across the cut
      {std::string(30, 'a') + face, 32, std::string(30, 'a')},              // 4-byte char across the cut
      {face + face, 1, ""},
  };
  for (auto& r : rows) EXPECT_EQ(cut_utf8(r.in, r.max), r.out) << r.in.size() << " bytes";
}

TEST(FormRules, PathLines) {
  EXPECT_EQ(path_lines("C:\\VMS\\DISK.IMG", 52), "C:\\VMS\\DISK.IMG");
  EXPECT_EQ(path_lines("C:\\AAAA\\BBBB\\CCCC\\D.IMG", 11), "C:\\AAAA\\\nBBBB\\CCCC\\\nD.IMG");
  EXPECT_EQ(path_lines(std::string(60, 'X'), 52), std::string(60, 'X'));  // no backslash: one line
  EXPECT_EQ(path_lines("", 52), "");
}

TEST_F(FormsTest, ImportFillFromTheFileName) {
  const std::string e = "\xC3\xA9";
  struct {
    std::wstring leaf;
    std::string name, profile;
  } rows[] = {
      {L"Win98SE.img", "Win98SE", "windows-x86"},
      {L"debian", "debian", "linux-x64"},  // no dot: the whole name
      {L"my.fedora.disk.qcow2", "my.fedora.disk", "linux-x64"},
      {widen(std::string(40, 'n') + ".vhd"), std::string(32, 'n'), "other-x64"},
      {widen(std::string(31, 'n') + e + "x.img"), std::string(31, 'n'), "other-x64"},
  };
  for (auto& r : rows) {
    ImportFill f = import_fill(path_join(root, r.leaf), nullptr);
    ASSERT_NE(f.profile, nullptr);
    EXPECT_EQ(std::tie(f.name, f.profile->id, f.hint),
              std::make_tuple(r.name, std::string(r.profile), std::string("PROFILE GUESSED FROM THE FILE NAME")));
    EXPECT_EQ(std::tie(f.mem, f.cpus, f.scratch, f.bare),
              std::make_tuple(f.profile->mem_mb, f.profile->cpus, false, false));
  }
}

TEST_F(FormsTest, ImportFillKnownAndUnofferedProfiles) {
  Machine m;
  m.name = "Caf\xC3\xA9 Box";
  m.profile = "dos-x86";
  m.mem = 192;
  m.cpus = 1;
  m.scratch = true;
  // A known image is taken as it is on record, even an HFS volume.
  ImportFill k = import_fill(work("System753.dsk"), &m);
  EXPECT_EQ(std::tie(k.name, k.hint, k.mem, k.cpus, k.scratch, k.bare),
            std::make_tuple(m.name, std::string("ALREADY KNOWN AS CAF\xC3\xA9 BOX"), 192, 1, true, false));
  EXPECT_EQ(k.profile, find_profile("dos-x86"));

  // Without the launch-script setup its profile is not offered: no profile,
  // and the generic PC's defaults meanwhile.
  ImportFill t = import_fill(path_join(root, L"tiger-10.4.img"), nullptr);
  EXPECT_EQ(t.profile, nullptr);
  EXPECT_EQ(std::tie(t.mem, t.cpus), std::make_tuple(import_fallback_profile().mem_mb, import_fallback_profile().cpus));
}

TEST(FormRules, ImageInfoAnswers) {
  ImageInfo info{"keep", 1, 2};
  for (const char* bad : {"", "qemu-img: Could not open 'x': No such file", "[1,2]", "{\"format\": "})
    EXPECT_FALSE(parse_image_info(bad, info)) << bad;
  EXPECT_EQ(std::tie(info.format, info.vsize, info.asize), std::make_tuple(std::string("keep"), u64(1), u64(2)));

  ASSERT_TRUE(parse_image_info(" \r\n\t{\"virtual-size\": 3221225472, \"filename\": \"a\", \"format\": \"qcow2\","
                               " \"actual-size\": 200704, \"dirty-flag\": false}\n",
                               info));
  EXPECT_EQ(std::tie(info.format, info.vsize, info.asize),
            std::make_tuple(std::string("qcow2"), u64(3221225472), u64(200704)));
  ASSERT_TRUE(parse_image_info("{\"format\": 7, \"virtual-size\": \"big\", \"actual-size\": -5}", info));
  EXPECT_EQ(std::tie(info.format, info.vsize, info.asize), std::make_tuple(std::string(), u64(0), u64(0)));
}

TEST(FormRules, OnlyTheLatestAnswerIsDelivered) {
  InfoRequests req;
  int posted = 0;
  auto post = [&] { ++posted; };
  u64 first = req.open();
  u64 second = req.open();                 // the user picked another image
  EXPECT_FALSE(req.deliver(first, post));  // the first image's answer comes late
  EXPECT_TRUE(req.deliver(second, post));
  EXPECT_EQ(posted, 1);

  // Workers racing a new pick: every answer is either posted before the
  // pick's open() returned or dropped.
  std::atomic<int> delivered{0};
  std::vector<std::thread> workers;
  u64 r = req.open();
  for (int i = 0; i < 8; ++i)
    workers.emplace_back([&, r] { req.deliver(r, [&] { ++delivered; }); });
  u64 next = req.open();
  int at_open = delivered.load();
  for (auto& w : workers) w.join();
  EXPECT_EQ(delivered.load(), at_open);
  EXPECT_TRUE(req.deliver(next, post));
}

TEST_F(FormsTest, EditProblemsAndClamps) {
  std::wstring disk = path_join(root, L"d.img"), iso = path_join(root, L"i.iso");
  write_bytes(disk, "x");
  write_bytes(iso, "x");
  EditFields f{"New", "-usb", find_profile("windows-x86"), 8192, 0, disk, iso, true};
  EXPECT_EQ(edit_problem(f), "");
  f.media = path_join(root, L"gone.iso");
  EXPECT_EQ(edit_problem(f), "INSTALL MEDIA NOT FOUND: " + upper(narrow(f.media)));
  f.disk = path_join(root, L"gone.img");
  EXPECT_EQ(edit_problem(f), "DISK NOT FOUND: " + upper(narrow(f.disk)));

  // profile, mem, cpus, media, boot, running -> mem, cpus, disk kept, cdrom, install
  struct {
    const char* profile;
    int mem, cpus;
    bool media, boot, running;
    int want_mem, want_cpus;
    bool old_disk, want_cdrom, want_install;
  } rows[] = {
      {"windows-x86", 8192, 0, true, true, false, 3072, 1, false, true, true},
      {"macosx-ppc", 4096, 9, true, true, false, 2048, 1, false, true, true},
      {"dos-x86", 16, -3, false, true, false, 16, 1, false, false, false},  // no media: no media boot
      {"linux-x64", 2048, 4, true, false, true, 2048, 4, true, true, false},  // running: disk stays
      {"macosx-x86", 2048, 8, true, true, false, 2048, 8, false, false, true},  // script: no media, flag kept
      {"macosx-x86", 2048, 8, false, false, false, 2048, 8, false, false, false},
  };
  for (auto& r : rows) {
    Machine m;
    m.disk = L"C:\\old.img";
    EditFields e{"Name", "-x", find_profile(r.profile), r.mem, r.cpus, disk, r.media ? iso : L"", r.boot};
    apply_edit(m, e, r.running);
    EXPECT_EQ(std::tie(m.name, m.profile, m.extra), std::make_tuple(std::string("Name"), std::string(r.profile), std::string("-x")));
    EXPECT_EQ(std::make_tuple(m.mem, m.cpus, m.disk, m.cdrom.empty(), m.install),
              std::make_tuple(r.want_mem, r.want_cpus, r.old_disk ? L"C:\\old.img" : disk, !r.want_cdrom, r.want_install))
        << r.profile << " " << r.mem << " " << r.cpus;
  }
  EXPECT_EQ(edit_saved_text("Box", true), "BOX: SAVED. THE RUNNING VM PICKS IT UP AT ITS NEXT LAUNCH.");
  EXPECT_EQ(edit_saved_text("Box", false), "BOX: SAVED.");
}

TEST_F(FormsTest, DossierFactsAndLayout) {
  const Profile& pc = *find_profile("linux-x64");
  auto values = [](const std::vector<DossierFact>& rows) {
    std::vector<std::string> v;
    for (auto& r : rows) v.push_back(std::string(r.label) + "=" + r.value);
    return v;
  };
  auto missing = dossier_facts(pc, HostFacts{false, false, false, false});
  EXPECT_EQ(values(missing), (std::vector<std::string>{"TARGET=QEMU-SYSTEM-X86_64", "ACCEL=TCG (HYPERVISOR PLATFORM OFF)",
                                                      "SCREEN=-", "RUNNER=DIRECT", "SITE=HELSINKI"}));
  EXPECT_EQ(missing[0].colour.g, 0.32f);  // red target
  EXPECT_EQ(missing[1].colour.g, 0.8f);   // amber accelerator
  EXPECT_EQ(missing[2].colour.g, 0.8f);
  EXPECT_EQ(dossier_build_hint(pc), "THIS QEMU HAS NO X86_64 TARGET. BUILD IT WITH x86_64-SOFTMMU.");

  auto embed = dossier_facts(pc, HostFacts{true, true, true, true});
  EXPECT_EQ(embed[1].value, "WHPX");
  EXPECT_EQ(embed[1].colour.g, 0.95f);  // ice
  EXPECT_EQ(embed[2].value, "EMBEDDED D3D11");
  EXPECT_EQ(embed[2].colour.g, 1.0f);   // green
  EXPECT_EQ(dossier_facts(pc, HostFacts{true, false, true, true})[2].value, "OWN WINDOW + MIRROR");
  EXPECT_EQ(dossier_facts(pc, HostFacts{true, false, false, true})[2].value, "SDL WINDOW + MIRROR");
  EXPECT_EQ(dossier_facts(*find_profile("macosx-x86"), {})[3].value, "RUN-TIGER (LAUNCHER COPY)");
  // A TCG profile keeps its accelerator whatever the host offers.
  EXPECT_EQ(dossier_facts(*find_profile("macos9-ppc"), {})[1].value, "TCG");

  Profile odd = pc;
  odd.site = "atlantis";
  EXPECT_EQ(dossier_facts(odd, {})[4].value, "ATLANTIS");

  DossierLayout wide = dossier_layout({100, 50, 350, 700});
  DossierLayout narrow_ = dossier_layout({100, 50, 300, 700});
  EXPECT_EQ(std::make_tuple(wide.icon, wide.cx, wide.icon_cy, wide.y0), std::make_tuple(190.f, 225.f, 175.f, 290.f));
  EXPECT_EQ(narrow_.icon, 140.f);
  EXPECT_EQ(wide.row_y[0] - narrow_.row_y[0], 50.f);
  EXPECT_EQ(wide.row_y[4], 290.f + 56 + 88);
  EXPECT_EQ(wide.blurb_y, wide.row_y[4] + 30);  // 8 below the fifth row's step
  EXPECT_EQ(wide.blurb_y - narrow_.blurb_y, 50.f);
  EXPECT_EQ(std::make_tuple(wide.label_x, wide.value_x, wide.value_w, wide.hint_y), std::make_tuple(126.f, 230.f, 100.f, 648.f));
}
