#include <windows.h>

#include <gtest/gtest.h>

#include <tuple>

#include "machines/machine.h"
#include "tests/support/test_support.h"

namespace {

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
  Vm* running(Machine* m) {
    g_fleet.vms.push_back(std::make_unique<Vm>());
    g_fleet.vms.back()->machine = m;
    return g_fleet.vms.back().get();
  }
};

}  // namespace

TEST(Library, SlugifyAndNormPath) {
  EXPECT_EQ(slugify(""), "vm");
  EXPECT_EQ(slugify("!!! ,,, ???"), "vm");
  EXPECT_EQ(slugify("  Hello, World!  "), "hello-world");
  EXPECT_EQ(slugify("Mac OS 9.2"), "mac-os-9-2");
  EXPECT_EQ(slugify("\xC3\x9Cn\xC3\xAF" "code"), "n-code");
  EXPECT_EQ(slugify(std::string(26, 'A') + std::string(24, 'b')), std::string(26, 'a') + std::string(14, 'b'));
  EXPECT_EQ(slugify(std::string(39, 'a') + " b"), std::string(39, 'a') + "-");  // cut after the dash

  EXPECT_EQ(norm_path(L"C:/VMs/Disk.IMG"), L"c:\\vms\\disk.img");
  EXPECT_EQ(norm_path(L"c:\\vms\\x\\..\\disk.img"), norm_path(L"C:\\VMS\\DISK.img"));
}

TEST_F(LibraryTest, CreateSaveAndLoad) {
  CreateDirectoryW(folder(L"caf-2").c_str(), nullptr);
  write_ini(L"caf", {{L"name", L"Other"}});
  Machine* m = g_lib.create("Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC", "windows-x86");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->id, "caf-3");
  EXPECT_EQ(m->dir, folder(L"caf-3"));
  EXPECT_TRUE(dir_exists(m->dir));
  EXPECT_FALSE(file_exists(path_join(m->dir, L"machine.ini")));  // the caller saves
  EXPECT_EQ(std::tie(m->mem, m->cpus), std::make_tuple(512, 1));
  EXPECT_GT(m->created, 1700000000);
  Machine* n = g_lib.create("Odd", "no-such-profile");
  EXPECT_EQ(std::tie(n->mem, n->cpus), std::make_tuple(0, 0));
  ASSERT_EQ(g_lib.size(), 2u);
  EXPECT_EQ(g_lib[0].get(), n);  // newest first
  EXPECT_EQ(g_lib.by_id("caf-3"), m);
  EXPECT_EQ(g_lib.by_id("caf"), nullptr);

  m->disk = L"D:\\VMs\\\u00e9t\u00e9,1.img";
  m->cdrom = L"D:\\iso\\xp.iso";
  m->extra = "-usb -device \"usb-host,hostbus=1\"";
  m->mem = 768;
  m->cpus = 2;
  m->install = true;
  m->created = 5000000000ll;  // past 32 bits
  m->last_run = 5000000123ll;
  EXPECT_TRUE(m->save());
  EXPECT_EQ(read_bytes(path_join(m->dir, L"machine.ini")).substr(0, 2), std::string("\xFF\xFE"));
  Machine back;
  ASSERT_TRUE(back.load(m->dir));
  EXPECT_EQ(std::tie(back.id, back.name, back.profile, back.extra), std::tie(m->id, m->name, m->profile, m->extra));
  EXPECT_EQ(std::tie(back.disk, back.cdrom), std::tie(m->disk, m->cdrom));
  EXPECT_EQ(std::tie(back.mem, back.cpus, back.install, back.scratch), std::make_tuple(768, 2, true, false));
  EXPECT_EQ(std::tie(back.created, back.last_run), std::make_tuple(5000000000ll, 5000000123ll));

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
  EXPECT_EQ(std::tie(a->mem, a->cpus, a->install, a->last_run), std::make_tuple(4096, 4, false, i64(0)));

  Machine* b = g_lib.by_id("unknown");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(std::tie(b->mem, b->cpus, b->install, b->scratch), std::make_tuple(0, 0, false, false));

  Machine* c = g_lib.by_id("junk");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->profile, "other-x64");
  // Damaged numbers read as 0, then the profile's default.
  EXPECT_EQ(std::tie(c->mem, c->cpus, c->created), std::make_tuple(2048, 2, i64(12)));
  EXPECT_EQ(g_lib.by_id(".hidden"), nullptr);
}

TEST_F(LibraryTest, SeedsTheLaunchScriptMachineOnce) {
  make_tiger_setup();
  g_lib.load();
  ASSERT_EQ(g_lib.size(), 1u);
  Machine* t = g_lib[0].get();
  EXPECT_EQ(std::tie(t->name, t->id, t->profile), std::make_tuple("Tiger", "tiger", "macosx-x86"));
  EXPECT_EQ(std::tie(t->mem, t->cpus), std::make_tuple(2048, 8));
  EXPECT_TRUE(t->is_main_tiger());
  EXPECT_TRUE(file_exists(path_join(t->dir, L"machine.ini")));
  EXPECT_EQ(ini_get(g_set.ini, L"library", L"seeded", L"0"), L"1");
  EXPECT_EQ(read_bytes(g_set.ini).substr(0, 2), std::string("\xFF\xFE"));
  // Forgotten, it does not come back.
  g_lib.forget(t);
  g_lib.load();
  EXPECT_EQ(g_lib.size(), 0u);

  // Not seeded when a machine already uses the disk under another spelling.
  WritePrivateProfileStringW(L"library", L"seeded", L"0", g_set.ini.c_str());
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

  Vm* vp = running(keep);
  Vm* op = running(gone);
  EXPECT_EQ(g_lib.by_disk(L""), nullptr);
  std::wstring shout = keep->disk;  // the same path in capitals with forward slashes
  for (wchar_t& c : shout) c = c == L'\\' ? L'/' : wchar_t(towupper(c));
  EXPECT_EQ(g_lib.by_disk(shout), keep);

  g_lib.forget(keep);
  EXPECT_EQ(vp->machine, nullptr);
  EXPECT_EQ(op->machine, gone);
  EXPECT_TRUE(dir_exists(keep_dir));
  EXPECT_TRUE(file_exists(path_join(keep_dir, L"disk.qcow2")));
  EXPECT_FALSE(file_exists(path_join(keep_dir, L"machine.ini")));
  EXPECT_EQ(g_lib.size(), 1u);
  EXPECT_EQ(g_lib.by_disk(path_join(keep_dir, L"disk.qcow2")), nullptr);

  // Loading again replaces the records: running VMs let go of the old ones.
  g_lib.load();
  ASSERT_EQ(g_lib.size(), 1u);
  EXPECT_EQ(g_lib[0]->name, "Empty");
  EXPECT_EQ(op->machine, nullptr);
  op->machine = g_lib[0].get();

  g_lib.forget(g_lib[0].get());
  EXPECT_EQ(op->machine, nullptr);
  EXPECT_FALSE(dir_exists(gone_dir));  // nothing else was in it
  EXPECT_EQ(g_lib.size(), 0u);
  g_lib.load();
  EXPECT_EQ(g_lib.size(), 0u);
}

TEST_F(LibraryTest, ValuesWithQuotesAndEdgeBlanksReadBackByteForByte) {
  const std::pair<std::string, std::string> cases[] = {
      {" Leading blank", "\"-cdrom\" \"D:\\a b.iso\""},
      {"trailing blank\t", "'-name' 'x'"},
      {"old end of file mark\x1a", "\x1a"},
      {"\"quoted\"", " -m 64 "},
      {"'", "\""},
      {"plain", std::string(6000, 'x') + " end"},  // longer than one read buffer
  };
  for (auto& [name, extra] : cases) {
    Machine m;
    m.dir = folder(L"round");
    m.name = name;
    m.extra = extra;
    m.disk = L" D:\\disk.img ";
    ASSERT_TRUE(m.save());
    Machine back;
    ASSERT_TRUE(back.load(m.dir));
    EXPECT_EQ(back.name, name);
    EXPECT_EQ(back.extra, extra);
    EXPECT_EQ(back.disk, m.disk);
  }
  // A file that cannot be written fails the save.
  HANDLE held = CreateFileW(path_join(folder(L"round"), L"machine.ini").c_str(), GENERIC_READ, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  Machine locked;
  locked.dir = folder(L"round");
  EXPECT_FALSE(locked.save());
  CloseHandle(held);
  // A file written before values were wrapped reads as it always did.
  write_ini(L"old", {{L"name", L"Old Box"}, {L"extra", L"-usb -device \"usb-host,hostbus=1\""}});
  Machine old;
  ASSERT_TRUE(old.load(folder(L"old")));
  EXPECT_EQ(old.name, "Old Box");
  EXPECT_EQ(old.extra, "-usb -device \"usb-host,hostbus=1\"");
}

TEST_F(LibraryTest, EmptyFolderOrRootIsRefusedNotTheCurrentFolder) {
  const std::wstring here = test_dir("cwd");
  SetCurrentDirectoryW(here.c_str());
  Machine m;
  m.name = "Nowhere";
  EXPECT_FALSE(m.save());
  g_set.machines_dir.clear();
  EXPECT_EQ(g_lib.create("Nowhere", "linux-x64"), nullptr);
  g_lib.load();
  EXPECT_TRUE(g_lib.empty());
  std::string err;
  EXPECT_EQ(g_fleet.launch(m, err, -1, L""), nullptr);
  EXPECT_EQ(err, "MACHINE FOLDER NOT SET");
  SetCurrentDirectoryW(root.c_str());
  EXPECT_TRUE(RemoveDirectoryW(here.c_str())) << "something was written into the current folder";
}
