#include "app/ErrorBox.h"

#include "app/Titles.h"

namespace qar {

std::string ErrorBoxText(const std::string& message) {
  std::string text = message;
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') text += '.';
  return text;
}

void ShowErrorBox(FormHost& host, const std::string& message) {
  host.ShowBox(ErrorBoxText(message), kApplicationTitle, BoxIcon::Error);
}

}  // namespace qar
