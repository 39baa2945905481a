// Machine control over QMP: the user's actions become commands on the Vm's
// QMP client, and QEMU's events keep the Vm's status text in step.
#include <shlobj.h>

#include "machines/cmdline.h"
#include "machines/fleet.h"
#include "machines/library.h"
#include "machines/profile.h"

namespace {

const char* owner_word(const Vm& vm) {
  return vm.ours ? "ours" : "external";
}

}  // namespace

void Fleet::on_qmp(WPARAM wparam, LPARAM lparam) {
  for (size_t i = 0; i < vms.size(); ++i) {
    Qmp& q = vms[i]->qmp;
    if (q.sock != INVALID_SOCKET && q.sock == SOCKET(wparam)) {
      q.on_socket(lparam);
      return;
    }
  }
}

void Fleet::attach_qmp(Vm& vm) {
  Vm* v = &vm;  // the callbacks live inside the Vm and die with it
  vm.qmp.on_event = [v](const std::string& event, const JVal& data) {
    if (event == "X_PROCESS_CPU") {
      // Not QEMU's: a QEMU behind a stand-in that Windows cannot time reports
      // its CPU time this way (the sampling takes it over the process times).
      const JVal &sec = data["seconds"], &clock = data["clock"];
      if (sec.kind == 2 && sec.n >= 0 && sec.n < 1e12 && clock.kind == 2 && clock.n > 0 && clock.n < 1e12) {
        v->cpu_report = sec.n;
        v->cpu_report_clock = clock.n;
        v->cpu_report_at = now_s();
      }
    } else if (event == "STOP")
      v->status = "paused";
    else if (event == "RESUME")
      v->status = "running";
    else if (event == "SHUTDOWN")
      v->status = "shutdown";
    else if (event == "POWERDOWN")
      v->status = "powering down";
  };
  vm.qmp.on_ready = [v] {
    v->qmp.cmd("query-status", "", [v](bool ok, const JVal& r) {
      if (!ok) return;
      const JVal& s = r["status"];
      v->status = s.kind == 3 ? s.s : std::string();
    });
  };
  vm.qmp.on_close = [v] { v->qmp_next_try = now_s() + 0.5; };
  vm.qmp_next_try = now_s() + 0.4;
}

void Fleet::qmp_do(Vm& vm, const std::string& name, const std::string& args, QmpReply callback) {
  wlog("%s (pid %lu, %s): QMP %s %s", vm.name.c_str(), (unsigned long)vm.pid, owner_word(vm),
       name.c_str(), args.c_str());
  if (vm.qmp_port == 0) {
    static const JVal null_value;
    if (callback) callback(false, null_value);
    return;
  }
  if (!vm.ours && vm.qmp.sock == INVALID_SOCKET) {
    attach_qmp(vm);
    vm.qmp_on_demand = true;
    vm.qmp.open(main, vm.qmp_port);
  }
  vm.qmp.cmd(name, args, std::move(callback));
}

void Fleet::pause(Vm& vm) {
  qmp_do(vm, "stop", "", nullptr);
}

void Fleet::resume(Vm& vm) {
  qmp_do(vm, "cont", "", nullptr);
}

void Fleet::reset(Vm& vm) {
  qmp_do(vm, "system_reset", "", nullptr);
}

void Fleet::powerdown(Vm& vm) {
  vm.forced = true;
  qmp_do(vm, "system_powerdown", "", nullptr);
}

void Fleet::force_off(Vm& vm) {
  vm.forced = true;
  if (vm.ours && !vm.qmp.ready) {
    // Before discovery has adopted a launch script's QEMU only the script
    // can be ended; its QEMU is adopted (and can be forced off) later.
    if (vm.process) {
      const bool done = TerminateProcess(vm.process, 1);
      wlog("%s (pid %lu): force off without QMP: TerminateProcess %s", vm.name.c_str(),
           (unsigned long)vm.pid, done ? "done" : "failed");
    } else if (vm.script) {
      const bool done = TerminateProcess(vm.script, 1);
      wlog("%s (launch script pid %lu): force off before its QEMU was adopted: script %s",
           vm.name.c_str(), (unsigned long)vm.script_pid, done ? "ended" : "could not be ended");
    } else {
      wlog("%s: force off without QMP: no process to end", vm.name.c_str());
    }
    return;
  }
  qmp_do(vm, "quit", "", nullptr);
}

void Fleet::eject(Vm& vm) {
  // The drive's name differs by board (see eject_args); a QEMU found running
  // without a known profile gets the PC's.
  qmp_do(vm, "eject", eject_args(vm.profile ? vm.profile->arch : ""), nullptr);
  // Whatever QEMU answers: the next launch must not boot the install media.
  if (vm.machine) {
    vm.machine->cdrom.clear();
    vm.machine->install = false;
    vm.machine->save();
  }
}

std::wstring pictures_folder() {
  wchar_t buf[MAX_PATH] = {};
  if (SHGetFolderPathW(nullptr, CSIDL_MYPICTURES, nullptr, 0, buf) != S_OK) return {};
  return buf;
}

std::wstring screenshot_folder(const std::wstring& pictures) {
  if (pictures.empty()) return path_join(exe_dir(), L"captures");
  return path_join(pictures, L"VUNK");
}

std::wstring screenshot_name(const std::string& vm_name, const SYSTEMTIME& t) {
  return widen(strf("%s-%04d%02d%02d-%02d%02d%02d.png", slugify(vm_name).c_str(), t.wYear,
                    t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond));
}

void Fleet::screenshot(Vm& vm, std::function<void(bool ok, const std::string& path)> done) {
  const std::wstring folder = screenshot_folder(pictures_folder());
  CreateDirectoryW(folder.c_str(), nullptr);
  SYSTEMTIME t;
  GetLocalTime(&t);
  const std::string path = narrow(path_join(folder, screenshot_name(vm.name, t)));
  const std::string args = "{\"filename\":" + json_quote(path) + ",\"format\":\"png\"}";
  qmp_do(vm, "screendump", args, [done = std::move(done), path](bool ok, const JVal&) {
    done(ok, path);
  });
}
