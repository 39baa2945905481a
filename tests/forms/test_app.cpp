// The forms of the real console object in a hidden main window with the
// program's window procedure: qemu-img through the bridge (new disks, image
// answers, a stale answer), the bootable copy of an hformat volume, saving an
// edit, and the DELETE question with a running, a stopped and a locked disk.
#include <windows.h>

#include <gtest/gtest.h>

#include <tuple>

#include "app/app.h"
#include "app/form_parts.h"
#include "macdisk/mac68k.h"
#include "tests/gfx/gfx_test.h"
#include "tests/support/test_support.h"

namespace {

HWND g_win = nullptr;

std::wstring fixture(const std::string& leaf) { return path_join(build_path("forms-work"), widen(leaf)); }

void frame() {
  pump();
  g_app.frame();
}

// Frames until the condition holds or the time is up.
template <class F>
bool wait_for(F done, double seconds) {
  double end = now_s() + seconds;
  while (!done() && now_s() < end) {
    frame();
    Sleep(20);
  }
  return done();
}

void click(u32 id) {
  ASSERT_TRUE(g_app.rects.count(id));
  D2D_RECT_F r = g_app.rects[id];
  LPARAM at = MAKELPARAM(int((r.left + r.right) / 2), int((r.top + r.bottom) / 2));
  PostMessageW(g_win, WM_MOUSEMOVE, 0, at);
  frame();
  PostMessageW(g_win, WM_LBUTTONDOWN, MK_LBUTTON, at);
  frame();
  PostMessageW(g_win, WM_LBUTTONUP, 0, at);
  frame();
}

std::string ini_value(const std::wstring& dir, const wchar_t* key) {
  return narrow(ini_get(path_join(dir, L"machine.ini"), L"machine", key, L"?"));
}

class FormsApp : public ::testing::Test {
 protected:
  Settings saved;
  std::wstring root;

  static void SetUpTestSuite() {
    ASSERT_TRUE(gfx_ready());
    Surface::force_offscreen = true;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = main_wndproc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"VunkMain";
    RegisterClassExW(&wc);
    g_win = CreateWindowExW(0, L"VunkMain", L"V.U.N.K.", WS_POPUP, 0, 0, 1640, 1000, nullptr, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
    ASSERT_TRUE(g_win);
    g_app.init(g_win);
    g_fleet.init(g_win);
  }
  void SetUp() override {
    saved = g_set;
    root = test_dir("forms-app");
    g_set.machines_dir = path_join(root, L"machines");
    g_set.qemu_dir = build_path("qemu");
    g_set.tiger_root = path_join(root, L"tiger");
    g_set.ini = path_join(root, L"vunk.ini");
    CreateDirectoryW(g_set.machines_dir.c_str(), nullptr);
    ASSERT_TRUE(file_exists(path_join(g_set.qemu_dir, L"qemu-img.exe"))) << "the QEMU bridge is not built";
    g_lib.clear();
    g_fleet.vms.clear();
    g_app.go_home();
    g_app.modal.open = false;
    g_app.toast = Toast{};
    frame();
  }
  void TearDown() override {
    // No worker may still be inside qemu-img when the process ends.
    wait_for([] { return import_workers_running() == 0 && !import_copy_running(); }, 60);
    g_fleet.vms.clear();
    g_lib.clear();
    g_set = saved;
    remove_tree(root);
  }
  Vm* running(Machine* m) {
    g_fleet.vms.push_back(std::make_unique<Vm>());
    g_fleet.vms.back()->machine = m;
    g_fleet.vms.back()->phase = 1;
    return g_fleet.vms.back().get();
  }
  void wizard(const char* profile, const std::string& name, int gb) {
    g_app.go(App::Wizard);
    g_app.wizard_step = 1;
    g_app.wizard_profile = find_profile(profile);
    g_app.wizard_name = name;
    g_app.wizard_gb = gb;
    g_app.wizard_mb = g_app.wizard_profile->mem_mb;
    g_app.wizard_cpus = g_app.wizard_profile->cpus;
    g_app.wizard_media.clear();
    g_app.start_install();
  }
};

}  // namespace

TEST_F(FormsApp, ProfileRowsNeedTheirQemu) {
  const Profile& pc = *find_profile("linux-x64");
  u32 row = g_app.id("prof", int(&pc - profiles().data()));
  g_set.qemu_dir = path_join(root, L"empty");
  g_app.go(App::Wizard);
  frame();
  click(row);
  EXPECT_EQ(g_app.wizard_step, 0);
  EXPECT_EQ(g_app.toast.text, "NO QEMU-SYSTEM-X86_64.EXE IN THE QEMU FOLDER");

  g_set.qemu_dir = build_path("qemu");
  click(row);
  ASSERT_EQ(g_app.wizard_step, 1);
  EXPECT_EQ(std::make_tuple(g_app.wizard_profile, g_app.wizard_gb, g_app.wizard_mb, g_app.wizard_cpus),
            std::make_tuple(&pc, pc.disk_gb, pc.mem_mb, pc.cpus));
  frame();
  EXPECT_TRUE(g_app.rects.count(g_app.id("wizgo", 0)));
}

TEST_F(FormsApp, NewSystemsGetTheirDisks) {
  // A PC without media: created, nothing launches (the window test reads
  // its disk and record with qemu-img).
  wizard("linux-x64", "Test Box", 2);
  ASSERT_EQ(g_lib.size(), 1u);
  EXPECT_TRUE(g_fleet.vms.empty());
  EXPECT_EQ(g_app.toast.text, "TEST BOX: CREATED. ADD INSTALL MEDIA IN ITS EDIT FORM TO INSTALL IT.");

  // With install media the new machine starts at once, booting the media.
  std::wstring iso = path_join(root, L"boot.iso");
  write_bytes(iso, std::string(1 << 20, '\0'));
  g_app.go(App::Wizard);
  g_app.wizard_media = iso;
  g_app.wizard_name = "Installer";
  g_app.start_install();
  ASSERT_EQ(g_fleet.vms.size(), 1u);
  Vm& vm = *g_fleet.vms[0];
  EXPECT_EQ(vm.machine, g_lib.front().get());
  EXPECT_EQ(g_lib.front()->cdrom, iso);
  EXPECT_EQ(std::make_tuple(g_app.view, g_app.selected_uid), std::make_tuple(App::Running, vm.uid));
  std::string log = read_bytes(vm.log_path);
  EXPECT_NE(log.find("-boot once=d"), std::string::npos) << log;  // the media boots once
  EXPECT_FALSE(g_lib.front()->install);
  TerminateProcess(vm.process, 9);
  WaitForSingleObject(vm.process, 5000);
  g_fleet.remove(&vm);

  // The 68k Mac: a partitioned blank disk its installer can initialise.
  wizard("macos7-68k", "Quadra", 1);
  Machine& q = *g_lib.front();
  EXPECT_EQ(q.disk, path_join(q.dir, L"disk.img"));
  EXPECT_EQ(read_bytes(q.disk).substr(0, 2), "ER");
  EXPECT_EQ(file_size(q.disk), (1ull << 30) + kMacPrefixBytes);

  // qemu-img missing: no disk, no folder, no record, and a red reason.
  g_set.qemu_dir = path_join(root, L"qemu");
  CreateDirectoryW(g_set.qemu_dir.c_str(), nullptr);
  CopyFileW(path_join(build_path("qemu"), L"qemu-system-x86_64.exe").c_str(),
            path_join(g_set.qemu_dir, L"qemu-system-x86_64.exe").c_str(), FALSE);
  wizard("linux-x64", "No Disk", 2);
  EXPECT_EQ(g_lib.size(), 3u);
  EXPECT_FALSE(dir_exists(path_join(g_set.machines_dir, L"no-disk")));
  EXPECT_EQ(g_app.toast.text.rfind("NO DISK: NOT CREATED\n", 0), 0u) << g_app.toast.text;
  EXPECT_EQ(g_app.toast.colour.g, pal.red.g);
}

TEST_F(FormsApp, ImageAnswersAndAStaleOne) {
  import_begin(g_app, fixture("Old Linux.qcow2"));
  EXPECT_TRUE(g_app.import_reading);
  EXPECT_EQ(g_app.view, App::Import);
  ASSERT_TRUE(wait_for([] { return !g_app.import_reading; }, 30));
  EXPECT_EQ(std::make_tuple(g_app.import_format, g_app.import_vsize), std::make_tuple(std::string("qcow2"), u64(3) << 30));
  EXPECT_GT(g_app.import_asize, 0u);

  // The user picks the HFS volume while the qcow2's answer waits in the
  // queue: only the volume's answer reaches the form.
  import_begin(g_app, fixture("Old Linux.qcow2"));
  MSG waiting;
  double end = now_s() + 30;
  while (!PeekMessageW(&waiting, g_win, kMsgInfo, kMsgInfo, PM_NOREMOVE) && now_s() < end) Sleep(10);
  import_begin(g_app, fixture("System753.dsk"));
  ASSERT_TRUE(wait_for([] { return !g_app.import_reading; }, 30));
  EXPECT_EQ(std::make_tuple(g_app.import_format, g_app.import_vsize), std::make_tuple(std::string("raw"), u64(8) << 20));
  EXPECT_TRUE(g_app.import_bare);
  EXPECT_EQ(g_app.import_hint, "HFS VOLUME (BASILISK II / MINI VMAC): BOOTS FROM A COPY WITH OUR DRIVER");
  EXPECT_EQ(g_app.import_profile, find_profile("macos7-68k"));
}

TEST_F(FormsApp, ImportsPlainAndBootable) {
  // Without the launch-script setup a "tiger" image has no profile: the form
  // draws, and IMPORT does nothing until one is chosen.
  std::wstring tiger = path_join(root, L"tiger.img");
  write_bytes(tiger, std::string(4096, '\0'));
  import_begin(g_app, tiger);
  EXPECT_EQ(g_app.import_profile, nullptr);
  frame();
  g_app.start_import();
  EXPECT_TRUE(g_lib.empty());

  import_begin(g_app, fixture("Old Linux.qcow2"));
  g_app.import_scratch = true;
  g_app.start_import();
  ASSERT_EQ(g_lib.size(), 1u);
  EXPECT_EQ(ini_value(g_lib.front()->dir, L"scratch"), "1");

  // A volume another program holds open for writing cannot be copied: a red
  // reason, and neither record nor folder stays.
  import_begin(g_app, fixture("System753.dsk"));
  HANDLE held = CreateFileW(fixture("System753.dsk").c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  g_app.start_import();
  EXPECT_TRUE(import_copy_running());
  ASSERT_TRUE(wait_for([] { return !import_copy_running(); }, 30));
  CloseHandle(held);
  EXPECT_EQ(g_lib.size(), 1u);
  EXPECT_EQ(g_app.toast.text, "SYSTEM753: BOOTABLE COPY FAILED\nCAN'T READ THE VOLUME (IN USE?)");
  EXPECT_FALSE(dir_exists(path_join(g_set.machines_dir, L"system753")));

  // The bootable copy: made on a worker while the view shows its progress,
  // then the machine joins the library.
  g_app.start_import();
  EXPECT_EQ(g_lib.size(), 1u);  // not before its disk is complete
  ASSERT_TRUE(wait_for([] { return !import_copy_running(); }, 30));
  ASSERT_EQ(g_lib.size(), 2u);
  Machine& m = *g_lib.front();
  EXPECT_EQ(m.disk, path_join(m.dir, L"disk.img"));
  EXPECT_FALSE(mac_is_bare_hfs(m.disk));
  EXPECT_EQ(read_bytes(m.disk).substr(0, 2), "ER");
  EXPECT_EQ(file_size(m.disk), file_size(fixture("System753.dsk")) + kMacPrefixBytes);
  EXPECT_EQ(std::make_tuple(m.profile, m.mem), std::make_tuple(std::string("macos7-68k"), 128));
  EXPECT_EQ(g_app.view, App::Home);
}

// An empty machines folder in vunk.ini: creating and importing refuse with
// the folder's message (as launching does), and nothing is made anywhere.
TEST_F(FormsApp, NoMachinesFolderRefusesToCreate) {
  g_set.machines_dir.clear();
  wizard("linux-x64", "Nowhere Box", 2);
  EXPECT_TRUE(g_lib.empty());
  EXPECT_EQ(g_app.toast.text, "NOWHERE BOX: NOT CREATED\nMACHINE FOLDER NOT SET");
  EXPECT_EQ(g_app.toast.colour.g, pal.red.g);
  EXPECT_EQ(g_app.view, App::Wizard);  // the form stays, its values too
  EXPECT_EQ(g_app.wizard_name, "Nowhere Box");

  import_begin(g_app, fixture("Old Linux.qcow2"));
  g_app.import_name = "Nowhere Disk";
  g_app.toast = Toast{};
  g_app.start_import();
  EXPECT_TRUE(g_lib.empty());
  EXPECT_EQ(g_app.toast.text, "NOWHERE DISK: NOT IMPORTED\nMACHINE FOLDER NOT SET");
  EXPECT_EQ(g_app.view, App::Import);
  // Nothing was written beside the program or in the current folder.
  EXPECT_FALSE(dir_exists(L"nowhere-box"));
  EXPECT_FALSE(dir_exists(L"nowhere-disk"));
  frame();
}

// A name typed with a character beyond the Basic Multilingual Plane (two
// WM_CHAR messages, here with a frame between them) keeps that character
// through the form, machine.ini and a new reading of the library.
TEST_F(FormsApp, NameBeyondTheBasicPlaneRoundTrips) {
  g_app.go(App::Wizard);
  g_app.wizard_step = 1;
  g_app.wizard_profile = find_profile("linux-x64");
  g_app.wizard_name.clear();
  g_app.wizard_gb = 1;
  g_app.wizard_mb = 512;
  g_app.wizard_cpus = 1;
  g_app.wizard_media.clear();
  g_app.focused = g_app.id("wizname", 0);
  frame();
  auto type = [](std::initializer_list<wchar_t> units) {
    for (wchar_t u : units) PostMessageW(g_win, WM_CHAR, u, 1);
  };
  type({L'R', L'o', L'c', L'k', L'e', L't', L' '});
  type({wchar_t(0xD83D)});  // U+1F680, first half
  frame();
  type({wchar_t(0xDE80), wchar_t(0xE9)});  // second half, then U+00E9
  frame();
  EXPECT_EQ(g_app.wizard_name, "Rocket \xF0\x9F\x9A\x80\xC3\xA9");
  // Halves without their partners are left out, not turned into two marks.
  type({wchar_t(0xDE80), L'!', wchar_t(0xD83D), L'?'});
  frame();
  EXPECT_EQ(g_app.wizard_name, "Rocket \xF0\x9F\x9A\x80\xC3\xA9!?");
  g_app.wizard_name.resize(g_app.wizard_name.size() - 2);
  g_app.start_install();
  ASSERT_EQ(g_lib.size(), 1u) << g_app.toast.text;
  std::wstring dir = g_lib.front()->dir;
  g_lib.load();
  ASSERT_EQ(g_lib.size(), 1u);
  EXPECT_EQ(g_lib.front()->name, "Rocket \xF0\x9F\x9A\x80\xC3\xA9");
  EXPECT_EQ(ini_get(path_join(dir, L"machine.ini"), L"machine", L"name", L""), L"Rocket \U0001F680\u00E9");
}

TEST_F(FormsApp, EditSaveAndDelete) {
  Machine* m = g_lib.create("Box", "windows-x86");
  m->disk = path_join(m->dir, L"disk.qcow2");
  write_bytes(m->disk, "disk");
  write_bytes(path_join(m->dir, L"launch.log"), "> qemu");
  ASSERT_TRUE(m->save());
  Vm* vm = running(m);

  // A running machine: name and profile reach its Vm at once, the disk
  // stays, memory and processors are clamped to the profile.
  g_app.open_edit(m);
  frame();
  EXPECT_EQ(g_app.view, App::Edit);
  g_app.edit_name = "Box Two";
  g_app.edit_profile = find_profile("dos-x86");
  g_app.edit_mem = 8192;
  g_app.edit_cpus = 0;
  g_app.edit_disk = fixture("Old Linux.qcow2");
  g_app.save_edit();
  EXPECT_EQ(std::make_tuple(m->mem, m->cpus, m->disk), std::make_tuple(256, 1, path_join(m->dir, L"disk.qcow2")));
  EXPECT_EQ(std::make_tuple(vm->name, vm->profile), std::make_tuple(std::string("Box Two"), find_profile("dos-x86")));
  EXPECT_EQ(g_app.toast.text, "BOX TWO: SAVED. THE RUNNING VM PICKS IT UP AT ITS NEXT LAUNCH.");
  EXPECT_EQ(g_app.edit_machine, nullptr);
  std::string id = m->id;
  g_lib.load();  // what a later start of the program reads
  m = g_lib.by_id(id);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(std::make_tuple(m->name, m->profile, m->mem), std::make_tuple(std::string("Box Two"), std::string("dos-x86"), 256));
  vm->machine = m;

  // DELETE is refused while it runs.
  g_app.open_edit(m);
  frame();
  click(g_app.id("editdelete", 0));
  EXPECT_FALSE(g_app.modal.open);
  EXPECT_EQ(g_app.toast.text, "BOX TWO: RUNNING. SHUT IT DOWN BEFORE DELETING IT.");

  // Stopped, with the disk held by another program: red, the record stays.
  g_fleet.vms.clear();
  click(g_app.id("editdelete", 0));
  ASSERT_TRUE(g_app.modal.open);
  HANDLE held = CreateFileW(m->disk.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  click(g_app.id("modal", 0));
  CloseHandle(held);
  EXPECT_EQ(g_app.toast.text.rfind("BOX TWO: NOT DELETED\nDISK NOT DELETED", 0), 0u) << g_app.toast.text;
  EXPECT_EQ(g_lib.size(), 1u);
  EXPECT_TRUE(file_exists(path_join(m->dir, L"machine.ini")));

  // FORGET of another machine: the record goes, its disk stays.
  Machine* other = g_lib.create("Other", "linux-x64");
  other->disk = fixture("Old Linux.qcow2");
  ASSERT_TRUE(other->save());
  std::wstring other_dir = other->dir;
  g_app.open_edit(other);
  frame();
  click(g_app.id("editforget", 0));
  click(g_app.id("modal", 0));
  EXPECT_EQ(std::make_tuple(g_lib.size(), g_app.view), std::make_tuple(size_t(1), App::Home));
  EXPECT_FALSE(dir_exists(other_dir));
  EXPECT_TRUE(file_exists(fixture("Old Linux.qcow2")));

  // And once it can go: disk, log and record.
  g_app.open_edit(m);
  frame();
  std::wstring dir = m->dir, disk = m->disk;
  click(g_app.id("editdelete", 0));
  click(g_app.id("modal", 0));
  EXPECT_TRUE(g_lib.empty());
  EXPECT_FALSE(file_exists(disk) || file_exists(path_join(dir, L"launch.log")) || dir_exists(dir));
  EXPECT_EQ(std::make_tuple(g_app.toast.text, g_app.view), std::make_tuple(std::string("DELETED."), App::Home));
}
