// SPDX-FileCopyrightText: 2026 The mivoproxy developers
// SPDX-License-Identifier: GPL-3.0-or-later

#include "presenter.h"

#include <cstdio>

namespace mivo {
namespace {

class StderrPresenter : public Presenter {
 public:
  void ShowMessage(const ShownMessage& m) override {
    std::fprintf(stderr, "[%s] %s\n", m.title.c_str(), m.text.c_str());
  }
};

StderrPresenter g_stderr;
Presenter* g_current = &g_stderr;

}  // namespace

Presenter& CurrentPresenter() { return *g_current; }

Presenter* SetPresenter(Presenter* p) {
  Presenter* old = g_current == &g_stderr ? nullptr : g_current;
  g_current = p ? p : &g_stderr;
  return old;
}

}  // namespace mivo
