// The application's title (also the error box's caption) and the main
// window's caption.
#pragma once

namespace qar {

inline constexpr char kApplicationTitle[] = "QAR Tarnlink Wireless Cable Modem Wizard";
inline constexpr char kMainCaption[] =
    "QAR Tarnlink Wireless Cable Modem Gateway Installation Wizard";

}  // namespace qar
