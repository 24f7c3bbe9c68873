// libFuzzer target for the parsers that read untrusted text: the command messages of the portal's
// pages, the version service's replies and the installer addresses they carry.
#include "CommandMessage.h"
#include "VersionInfo.h"

#include <QString>
#include <cstddef>
#include <cstdint>

namespace {

void dropMessages(QtMsgType, const QMessageLogContext &, const QString &) { }

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(dropMessages);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const CommandMessage command = parseCommandMessage(text);
    if (command.sceneIsString && !command.hasScene)
        __builtin_trap(); // a string scene implies the key
    const VersionInfoPtr info = parseVersionReply(text);
    if (info && info->hasUpdate)
        __builtin_trap(); // a fresh record never offers an update
    const QUrl address = downloadAddress(text);
    if (!address.isEmpty() && address.scheme() != QLatin1String("http")
        && address.scheme() != QLatin1String("https"))
        __builtin_trap(); // only http and https are ever opened
    return 0;
}
