#include <windows.h>

#include <gtest/gtest.h>

#include "machines/machine.h"
#include "tests/support/test_support.h"

namespace {

// The same path in capitals with forward slashes.
std::wstring shout(std::wstring p) {
  for (wchar_t& c : p) c = c == L'\\' ? L'/' : wchar_t(towupper(c));
  return p;
}

// A machines folder, a settings file and a launch-script root of the test's
// own, restored afterwards.
struct LibraryTest : testing::Test {
  Settings saved;
  std::wstring root;
  void SetUp() override {
    saved = g_set;
    g_lib.clear();
    root = test_dir("library");
    g_set.machines_dir = path_join(root, L"machines");
    g_set.ini = path_join(root, L"vunk.ini");
    g_set.tiger_root = path_join(root, L"tiger");
    g_set.tiger_script = path_join(root, L"run-tiger-embed.ps1");
    CreateDirectoryW(g_set.machines_dir.c_str(), nullptr);
  }
  void TearDown() override {
    g_fleet.vms.clear();
    g_lib.clear();
    g_set = saved;
    remove_tree(root);
  }
  std::wstring folder(const std::wstring& name) { return path_join(g_set.machines_dir, name); }
  void write_ini(const std::wstring& name, std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> kv) {
    CreateDirectoryW(folder(name).c_str(), nullptr);
    std::wstring ini = path_join(folder(name), L"machine.ini");
    ini_touch(ini);
    for (auto& [k, v] : kv) WritePrivateProfileStringW(L"machine", k, v, ini.c_str());
  }
  void make_tiger_setup() {
    CreateDirectoryW(g_set.tiger_root.c_str(), nullptr);
    CreateDirectoryW(path_join(g_set.tiger_root, L"vm").c_str(), nullptr);
    write_bytes(path_join(g_set.tiger_root, L"run-tiger.ps1"), "#");
    write_bytes(g_set.tiger_script, "#");
    write_bytes(path_join(g_set.tiger_root, L"vm\\tiger-hd.img"), "disk");
  }
  std::vector<std::string> names() {
    std::vector<std::string> v;
    for (auto& m : g_lib) v.push_back(m->name);
    return v;
  }
};

}  // namespace

TEST(Library, Slugify) {
  EXPECT_EQ(slugify(""), "vm");
  EXPECT_EQ(slugify("!!! ,,, ???"), "vm");
  EXPECT_EQ(slugify("  Hello, World!  "), "hello-world");
  EXPECT_EQ(slugify("Mac OS 9.2"), "mac-os-9-2");
  EXPECT_EQ(slugify("\xC3\x9Cn\xC3\xAF" "code"), "n-code");
  std::string fifty = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwx";
  ASSERT_EQ(fifty.size(), 50u);
  EXPECT_EQ(slugify(fifty), "abcdefghijklmnopqrstuvwxyzabcdefghijklmn");
  EXPECT_EQ(slugify(std::string(39, 'a') + " b"), std::string(39, 'a') + "-");  // cut after the dash
}

TEST(Library, NormPathIsTheIdentityOfAFile) {
  EXPECT_EQ(norm_path(L"C:/VMs/Disk.IMG"), L"c:\\vms\\disk.img");
  EXPECT_EQ(norm_path(L"c:\\vms\\x\\..\\disk.img"), norm_path(L"C:\\VMS\\DISK.img"));
}

TEST_F(LibraryTest, CreateFindsAFreeFolder) {
  CreateDirectoryW(folder(L"tiger").c_str(), nullptr);
  CreateDirectoryW(folder(L"tiger-2").c_str(), nullptr);
  Machine* m = g_lib.create("Tiger", "linux-x64");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->id, "tiger-3");
  EXPECT_EQ(m->name, "Tiger");
  EXPECT_EQ(m->dir, folder(L"tiger-3"));
  EXPECT_TRUE(dir_exists(m->dir));
  EXPECT_FALSE(file_exists(path_join(m->dir, L"machine.ini")));  // the caller saves
  EXPECT_EQ(m->mem, 4096);
  EXPECT_EQ(m->cpus, 4);
  EXPECT_GT(m->created, 1700000000);
  Machine* n = g_lib.create("Odd", "no-such-profile");
  EXPECT_EQ(n->mem, 0);
  EXPECT_EQ(n->cpus, 0);
  ASSERT_EQ(g_lib.size(), 2u);
  EXPECT_EQ(g_lib[0].get(), n);  // newest first
  EXPECT_EQ(g_lib.by_id("tiger-3"), m);
  EXPECT_EQ(g_lib.by_id("tiger"), nullptr);
}

TEST_F(LibraryTest, SaveAndLoadRoundTrip) {
  Machine* m = g_lib.create("Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC", "windows-x86");
  m->disk = L"D:\\VMs\\\u00e9t\u00e9,1.img";
  m->cdrom = L"D:\\iso\\xp.iso";
  m->extra = "-usb -device \"usb-host,hostbus=1\"";
  m->mem = 768;
  m->cpus = 2;
  m->install = true;
  m->scratch = false;
  m->created = 5000000000ll;  // past 32 bits
  m->last_run = 5000000123ll;
  EXPECT_TRUE(m->save());
  std::string raw = read_bytes(path_join(m->dir, L"machine.ini"));
  ASSERT_GE(raw.size(), 2u);
  EXPECT_EQ(raw.substr(0, 2), std::string("\xFF\xFE"));

  Machine back;
  ASSERT_TRUE(back.load(m->dir));
  EXPECT_EQ(back.id, m->id);
  EXPECT_EQ(back.name, m->name);
  EXPECT_EQ(back.profile, "windows-x86");
  EXPECT_EQ(back.disk, m->disk);
  EXPECT_EQ(back.cdrom, m->cdrom);
  EXPECT_EQ(back.extra, m->extra);
  EXPECT_EQ(back.mem, 768);
  EXPECT_EQ(back.cpus, 2);
  EXPECT_TRUE(back.install);
  EXPECT_FALSE(back.scratch);
  EXPECT_EQ(back.created, 5000000000ll);
  EXPECT_EQ(back.last_run, 5000000123ll);

  Machine none;
  EXPECT_FALSE(none.load(folder(L"nothing-here")));
  EXPECT_EQ(none.dir, folder(L"nothing-here"));
  EXPECT_TRUE(none.id.empty());
}

TEST_F(LibraryTest, PartialAndDamagedIniFiles) {
  write_ini(L"only-profile", {{L"profile", L"linux-x64"}});
  write_ini(L"unknown", {{L"profile", L"beos-x86"}, {L"install", L"yes"}, {L"scratch", L"true"}});
  write_ini(L"junk", {{L"mem", L"lots"}, {L"cpus", L"-3"}, {L"created", L"12abc"}});
  write_ini(L".hidden", {{L"name", L"Hidden"}});
  CreateDirectoryW(folder(L"no-ini").c_str(), nullptr);
  write_bytes(folder(L"stray.txt"), "not a folder");
  g_lib.load();
  ASSERT_EQ(g_lib.size(), 3u);

  Machine* a = g_lib.by_id("only-profile");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->name, "only-profile");
  EXPECT_EQ(a->mem, 4096);
  EXPECT_EQ(a->cpus, 4);
  EXPECT_FALSE(a->install);
  EXPECT_EQ(a->last_run, 0);

  Machine* b = g_lib.by_id("unknown");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->mem, 0);
  EXPECT_EQ(b->cpus, 0);
  EXPECT_FALSE(b->install);
  EXPECT_FALSE(b->scratch);

  Machine* c = g_lib.by_id("junk");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->profile, "other-x64");
  EXPECT_EQ(c->mem, 2048);  // damaged numbers read as 0, then the profile's default
  EXPECT_EQ(c->cpus, 2);
  EXPECT_EQ(c->created, 12);
  EXPECT_EQ(g_lib.by_id(".hidden"), nullptr);
}

TEST_F(LibraryTest, SortByLastRunThenName) {
  write_ini(L"a", {{L"name", L"beta"}, {L"last_run", L"100"}});
  write_ini(L"b", {{L"name", L"alpha"}, {L"last_run", L"100"}});
  write_ini(L"c", {{L"name", L"never"}, {L"last_run", L"0"}});
  write_ini(L"d", {{L"name", L"aaa"}, {L"last_run", L"0"}});
  write_ini(L"e", {{L"name", L"latest"}, {L"last_run", L"5000000000"}});
  write_ini(L"f", {{L"name", L"alph"}, {L"last_run", L"100"}});
  write_ini(L"g", {{L"name", L"Zed"}, {L"last_run", L"100"}});
  g_lib.load();
  // Byte order: capitals before lower case, a prefix before the longer name.
  EXPECT_EQ(names(), (std::vector<std::string>{"latest", "Zed", "alph", "alpha", "beta", "aaa", "never"}));
}

TEST_F(LibraryTest, SeedsTheLaunchScriptMachineOnce) {
  make_tiger_setup();
  g_lib.load();
  ASSERT_EQ(g_lib.size(), 1u);
  Machine* t = g_lib[0].get();
  EXPECT_EQ(t->name, "Tiger");
  EXPECT_EQ(t->id, "tiger");
  EXPECT_EQ(t->profile, "macosx-x86");
  EXPECT_EQ(t->mem, 2048);
  EXPECT_EQ(t->cpus, 8);
  EXPECT_TRUE(t->is_main_tiger());
  EXPECT_TRUE(file_exists(path_join(t->dir, L"machine.ini")));
  EXPECT_EQ(ini_get(g_set.ini, L"library", L"seeded", L"0"), L"1");
  std::string raw = read_bytes(g_set.ini);
  EXPECT_EQ(raw.substr(0, 2), std::string("\xFF\xFE"));

  // Forgotten, it does not come back.
  g_lib.forget(t);
  g_lib.load();
  EXPECT_EQ(g_lib.size(), 0u);
}

TEST_F(LibraryTest, NoSeedWhenSeededOrDiskAlreadyUsed) {
  make_tiger_setup();
  ini_touch(g_set.ini);
  WritePrivateProfileStringW(L"library", L"seeded", L"1", g_set.ini.c_str());
  g_lib.load();
  EXPECT_EQ(g_lib.size(), 0u);

  WritePrivateProfileStringW(L"library", L"seeded", L"0", g_set.ini.c_str());
  // Another spelling of the same disk path.
  std::wstring disk = lower_w(path_join(g_set.tiger_root, L"VM/TIGER-HD.IMG"));
  write_ini(L"mine", {{L"name", L"My Tiger"}, {L"disk", disk.c_str()}});
  g_lib.load();
  ASSERT_EQ(g_lib.size(), 1u);
  EXPECT_EQ(g_lib[0]->name, "My Tiger");
  EXPECT_TRUE(g_lib[0]->is_main_tiger());
  EXPECT_EQ(ini_get(g_set.ini, L"library", L"seeded", L"0"), L"1");

  // Without the script setup nothing is seeded either, but it is marked tried.
  g_lib.clear();
  remove_tree(folder(L"mine"));
  DeleteFileW(g_set.tiger_script.c_str());
  WritePrivateProfileStringW(L"library", L"seeded", L"0", g_set.ini.c_str());
  g_lib.load();
  EXPECT_EQ(g_lib.size(), 0u);
  EXPECT_EQ(ini_get(g_set.ini, L"library", L"seeded", L"0"), L"1");
}

TEST_F(LibraryTest, ForgetKeepsTheDiskAndUnlinksRunningVms) {
  Machine* keep = g_lib.create("Keeps Disk", "linux-x64");
  keep->disk = path_join(keep->dir, L"disk.qcow2");
  write_bytes(keep->disk, "QFI\xfb");
  keep->save();
  Machine* gone = g_lib.create("Empty", "dos-x86");
  gone->save();
  std::wstring keep_dir = keep->dir, gone_dir = gone->dir;

  auto vm = std::make_unique<Vm>();
  vm->machine = keep;
  Vm* vp = vm.get();
  g_fleet.vms.push_back(std::move(vm));
  auto other = std::make_unique<Vm>();
  other->machine = gone;
  Vm* op = other.get();
  g_fleet.vms.push_back(std::move(other));

  EXPECT_EQ(g_lib.by_disk(L""), nullptr);
  EXPECT_EQ(g_lib.by_disk(shout(keep->disk)), keep);

  g_lib.forget(keep);
  EXPECT_EQ(vp->machine, nullptr);
  EXPECT_EQ(op->machine, gone);
  EXPECT_TRUE(dir_exists(keep_dir));
  EXPECT_TRUE(file_exists(path_join(keep_dir, L"disk.qcow2")));
  EXPECT_FALSE(file_exists(path_join(keep_dir, L"machine.ini")));
  EXPECT_EQ(g_lib.size(), 1u);
  EXPECT_EQ(g_lib.by_disk(path_join(keep_dir, L"disk.qcow2")), nullptr);

  g_lib.forget(gone);
  EXPECT_EQ(op->machine, nullptr);
  EXPECT_FALSE(dir_exists(gone_dir));  // nothing else was in it
  EXPECT_EQ(g_lib.size(), 0u);

  g_lib.load();
  EXPECT_EQ(g_lib.size(), 0u);
}

TEST_F(LibraryTest, LoadUnlinksTheFleetFromOldRecords) {
  Machine* m = g_lib.create("Running", "linux-x64");
  m->save();
  auto vm = std::make_unique<Vm>();
  vm->machine = m;
  Vm* vp = vm.get();
  g_fleet.vms.push_back(std::move(vm));
  g_lib.load();
  EXPECT_EQ(vp->machine, nullptr);
  ASSERT_EQ(g_lib.size(), 1u);
  EXPECT_EQ(g_lib[0]->name, "Running");
}
