#include "app/Application.h"

#include "app/ErrorBox.h"

namespace qar {

Application::Application(Platform& platform, FormHost& host) : platform_(platform), host_(host) {}

void Application::CreateForm() {
  form_ = std::make_unique<TfrmMain>(platform_, host_);
  form_->StartTimer1();
  form_->FormCreate();
}

void Application::Guard(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const Error& error) {
    ShowErrorBox(host_, error.Message());
  } catch (...) {
    ShowErrorBox(host_, std::string());
  }
}

void Application::MouseDown(int x, int y) { pressed_ = form_ ? form_->HotspotAt(x, y) : nullptr; }

void Application::MouseUp(int x, int y) {
  const Control* pressed = pressed_;
  pressed_ = nullptr;
  // A tick between press and release may have hidden the hotspot.
  if (pressed != nullptr && form_->HotspotAt(x, y) == pressed) Click(*pressed);
}

void Application::Click(const Control& hotspot) {
  Guard([&] {
    if (hotspot.OnClick() != nullptr) (form_.get()->*hotspot.OnClick())();
  });
}

void Application::Tick() {
  if (!form_) return;
  Guard([&] {
    if (form_->Timer1Enabled()) form_->Timer1Timer();
  });
}

bool Application::HandCursorAt(int x, int y) { return form_ && form_->HotspotAt(x, y) != nullptr; }

int RunGuarded(FormHost& host, const std::function<void()>& body) {
  try {
    body();
  } catch (const Error& error) {
    try {
      ShowErrorBox(host, error.Message());
    } catch (...) {
    }
  } catch (...) {
    try {
      ShowErrorBox(host, std::string());
    } catch (...) {
    }
  }
  return 0;
}

}  // namespace qar
