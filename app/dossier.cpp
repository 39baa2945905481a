// The profile dossier: the panel beside the machine forms that tells how this
// host will run the chosen profile.
#include <cmath>

#include "app/app.h"
#include "app/form_rules.h"
#include "gfx/icons.h"
#include "gfx/layer.h"

void App::draw_dossier(const D2D_RECT_F& r, const Profile* p) {
  if (!p) {
    // The import form may have no profile yet: an empty panel that says so.
    panel(r, pal.cyan, 0.9f);
    text_fast(surface, "NO PROFILE CHOSEN", (r.left + r.right) / 2, r.top + 40, 11, alpha(pal.ice, 0.7f), AlignCentre,
              0.16f, 0);
    return;
  }
  D3DCOLORVALUE c = arch_color(p->board);
  DossierLayout d = dossier_layout(r);
  panel(r, c, 0.9f);

  CanvasSink sink(&surface);
  IconStyle style;
  style.alpha = 1;
  style.label = true;
  style.frame = true;
  draw_icon(sink, p->os, p->board, d.cx, d.icon_cy, d.icon, style);
  // The ring's sixteen arcs turn every frame: one path, one call.
  const float pi = 3.14159265f;
  Strokes ring;
  for (int k = 0; k < 16; ++k) {
    float a = k * pi / 8 + 0.3f * float(now);
    ring.arc(d.cx, d.ring_cy, d.ring_r, a, a + pi / 20, alpha(c, c.a * 0.35f), 1);
  }
  ring.draw(surface);
  easing = true;  // the ring keeps turning

  text_fast(surface, p->family, d.cx, d.y0, 15, pal.ice, AlignCentre, 0.16f, 0);
  text_fast(surface, p->machine, d.cx, d.y0 + 26, 8, c, AlignCentre, 0.16f, 0);

  HostFacts host = host_facts(*p);
  std::vector<DossierFact> facts = dossier_facts(*p, host);
  for (size_t i = 0; i < facts.size(); ++i) {
    float y = d.row_y[i];
    label(d.label_x, y, facts[i].label, alpha(pal.cyan, 0.8f), 7.5f);
    label(d.value_x, y - 1, surface.fit(facts[i].value, d.value_w, 9, 0.16f), facts[i].colour, 9);
  }
  wrap(p->blurb, d.label_x, d.blurb_y, d.blurb_w, 7.5f, alpha(pal.ice, 0.85f), 1.7f);
  if (!host.built) wrap(dossier_build_hint(*p), d.label_x, d.hint_y, d.blurb_w, 7, pal.red, 1.7f);
}
