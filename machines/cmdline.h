// QEMU command lines as plain argument lists, and the reverse: what a QEMU
// command line found on the system says about the machine it runs.
//
// Everything here is decided from values handed in, so the launcher and
// discovery only gather facts (files, sockets, settings) and then act on the
// lists built here. Arguments are kept one per item; joining them into one
// Windows command line happens last (join_cmdline).
#pragma once

#include <functional>
#include <string>
#include <vector>

// ---- direct launches ------------------------------------------------------

// The -drive format of a disk image. Content is looked at first (qcow2, VHDX,
// VMDK, VDI, VHD), so a container is never opened as raw whatever its name;
// otherwise the extension decides, and anything unknown is "raw".
std::wstring disk_format(const std::wstring& path);

// The -display value: the D3D11 display when the build has it, else SDL; the
// parent window when there is a host; a test display replaces it all.
std::wstring display_value(bool d3d11, const std::wstring& parent, const std::wstring& test_display);

// What one direct launch's argument list is made from.
struct QemuSpec {
  std::string arch;          // the profile's QEMU target
  int os = 10;               // the profile's operating-system kind
  std::string name;          // UTF-8
  int port = 0;              // QMP port, 0 when none was free
  std::wstring display;      // see display_value
  int mem = 0;
  int cpus = 0;
  bool whpx = false;
  bool scratch = false;
  std::wstring disk;
  std::wstring cdrom;        // used only when it names an existing file
  bool install = false;      // boot the install media
  std::wstring rom;          // Quadra ROM path
  std::wstring pram;         // Quadra parameter RAM file
  std::string extra;         // UTF-8, split the Windows way
};

// The arguments after the program name. *install_boot is set when the list
// boots the install media once, so the caller clears the machine's flag.
std::vector<std::wstring> qemu_args(const QemuSpec& s, bool* install_boot = nullptr);

// The arguments of QMP "eject" for the optical drive qemu_args gives a
// machine of this QEMU target: the PC's drive device "cddev"; on the other
// boards the drive named "cd", the only name there that reaches the medium.
std::string eject_args(const std::string& arch);

// The machine's extra text split as a Windows command line would be.
std::vector<std::wstring> split_extra(const std::string& extra);

// ---- the launch script ------------------------------------------------------

struct ScriptSpec {
  std::wstring script;       // the PowerShell script
  std::wstring root;         // its root folder
  int slot = 0;
  std::wstring qemu_dir;
  int mem = 0;
  int cpus = 0;
  std::wstring disk;
  bool main_disk = false;    // the script's own main disk: not passed
  bool install = false;
  bool scratch = false;
  std::wstring parent;       // host window handle text, empty when none
  std::string extra;         // UTF-8, passed whole
  bool headless = false;
};

std::vector<std::wstring> script_args(const ScriptSpec& s);

// The error log the script writes for an instance slot, under its root.
std::wstring script_log_path(const std::wstring& root, int slot);

// Program and arguments as one Windows command line.
std::wstring join_cmdline(const std::wstring& program, const std::vector<std::wstring>& args);

// ---- ports and slots --------------------------------------------------------

// First QMP port in 4600-4699 that can be bound and is not named in the QEMU
// command lines already known; 0 when none.
int pick_qmp_port(const std::function<bool(int)>& port_free, const std::wstring& cmdlines);

// Instance slot of the launch script: 0 for the main machine when it is free
// and not in scratch mode, else the first free one of 10-59; -1 when none.
int pick_slot(const std::function<bool(int)>& port_free, const std::wstring& cmdlines,
              bool main_disk, bool scratch);

// ---- command lines of QEMU processes found running ---------------------------

struct SeenDrive {
  std::wstring path;         // as written on the command line, not normalised
  bool scratch = false;
};

struct QemuArgv {
  std::string name;          // UTF-8, empty when none was given
  int qmp_port = 0;
  std::vector<SeenDrive> drives;
  bool applesmc = false;
  bool mac99 = false;
  bool can_embed = false;
};

// Splits a command line the Windows way; false when it cannot be split.
bool split_cmdline(const std::wstring& cmdline, std::vector<std::wstring>& out);

// Reads the options that matter from a QEMU argument list (program first).
QemuArgv parse_qemu_argv(const std::vector<std::wstring>& argv);

// The profile id of a QEMU process that no library machine explains.
const char* guess_external_profile(const QemuArgv& a, const std::wstring& exe);

// Where the system cannot tell another process's command line (Wine has no
// answer to that query), tests hand process_cmdline the text through this:
// when set and it returns text for the process id, that text is used.
extern std::function<std::wstring(unsigned long pid)> g_cmdline_source;
