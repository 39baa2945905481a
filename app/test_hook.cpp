// What the console shows, written out for tests that drive the real window
// from outside (X input under Wine): while VUNK_TEST_VIEW names a file, each
// drawn frame that differs from the last one written replaces that file with
// one JSON object: the view, the window's size and DPI, the rectangle of every
// widget drawn in the frame (by widget id, in DIPs), every text drawn with its
// place, the pointer, the toast, the modal question and the media jobs. A test finds a
// widget where it was drawn and waits for what a person would see, instead of
// clicking at fixed points after fixed sleeps.
#include "app/app.h"

#include "machines/qmp.h"
#include "media/media.h"

namespace {

std::wstring g_view_file;       // empty: the hook is off
std::vector<DrawnText> g_texts;  // this frame's texts
std::string g_last;              // the body last written (without the sequence)
u64 g_seq = 0;

void json_str(std::string& o, std::string_view s) { o += json_quote(s); }

std::string body_of(const App& a) {
  std::string o = strf("\"view\":%u,\"w\":%u,\"h\":%u,\"dpi\":%.1f,\"focused\":%u,\"armed\":%u,", a.view,
                       a.surface.width, a.surface.height, a.surface.dpi, a.focused, a.armed);
  // The pointer as this frame saw it: a test waits for a frame that has seen
  // its move, its press and its release before it goes on.
  o += strf("\"mouse\":[%.1f,%.1f],\"down\":%s,\"active\":%u,", a.mouse.x, a.mouse.y,
            a.mouse_down ? "true" : "false", a.active);
  o += "\"toast\":";
  json_str(o, a.now - a.toast.time < 10 ? a.toast.text : "");
  o += ",\"modal\":";
  json_str(o, a.modal.open ? a.modal.title : "");
  o += ",\"rects\":{";
  bool first = true;
  for (u32 id : a.drawn_ids) {
    auto it = a.rects.find(id);
    if (it == a.rects.end()) continue;
    const D2D_RECT_F& r = it->second;
    o += strf("%s\"%u\":[%.1f,%.1f,%.1f,%.1f]", first ? "" : ",", id, r.left, r.top, r.right, r.bottom);
    first = false;
  }
  o += "},\"texts\":[";
  first = true;
  for (const DrawnText& t : g_texts) {
    o += first ? "[" : ",[";
    json_str(o, t.text);
    o += strf(",%.1f,%.1f,%.1f]", t.x, t.y, t.size);
    first = false;
  }
  o += "],\"jobs\":[";
  first = true;
  for (const auto& j : g_media.jobs) {
    const TransferSnapshot& s = j->snap;
    o += first ? "{\"file\":" : ",{\"file\":";
    json_str(o, j->item.file);
    o += strf(",\"state\":%d,\"total\":%llu,\"done\":%llu,\"mirrors\":%llu,\"peers\":%llu,"
              "\"rate_mirrors\":%.0f,\"rate_peers\":%.0f,\"conns\":%zu,\"pieces\":%u,\"error\":",
              int(s.state), (unsigned long long)s.total, (unsigned long long)s.done,
              (unsigned long long)s.via_mirrors, (unsigned long long)s.via_peers, s.rate_mirrors, s.rate_peers,
              s.conns.size(), s.pieces);
    json_str(o, s.error);
    o += "}";
    first = false;
  }
  o += "]";
  return o;
}

}  // namespace

void App::test_frame_begin() {
  static bool read = false;
  if (!read) {
    read = true;
    g_view_file = env_value(L"VUNK_TEST_VIEW");
  }
  if (g_view_file.empty()) return;
  g_texts.clear();
  drawn_ids.clear();
  g_text_probe = &g_texts;
}

void App::test_frame_end() {
  if (g_view_file.empty() || !g_text_probe) return;
  g_text_probe = nullptr;
  std::string body = body_of(*this);
  if (body == g_last) return;
  g_last = body;
  std::string all = strf("{\"seq\":%llu,", (unsigned long long)++g_seq) + body + "}\n";
  // Replaced in one step, so a reader never sees half a file.
  std::wstring tmp = g_view_file + L".tmp";
  HANDLE f = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD wrote = 0;
  bool ok = WriteFile(f, all.data(), DWORD(all.size()), &wrote, nullptr) && wrote == all.size();
  CloseHandle(f);
  if (ok) MoveFileExW(tmp.c_str(), g_view_file.c_str(), MOVEFILE_REPLACE_EXISTING);
}
