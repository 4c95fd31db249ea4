// Documents, installers and web pages handed to the shell. The wizard never
// checks the target or the outcome; nothing here shows a message.
#pragma once

#include <string>

#include "platform/Platform.h"

namespace qar {

extern const char* const kManualPath;           // relative to the medium
extern const char* const kReaderInstallerPath;  // relative to the medium
extern const char* const kGatewayAddress;       // the gateway's factory LAN address
extern const char* const kPartnerAddress;       // the partner's information page

void OpenManual(Platform& platform);
void RunReaderInstaller(Platform& platform);
void OpenGatewayPage(Platform& platform);
void OpenPartnerPage(Platform& platform);

}  // namespace qar
