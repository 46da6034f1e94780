#pragma once
// The five default ingesters, one per SourceFormat, in the order of SourceFormat:
//   1 MacOSMessagesFolderIngester  macosMessagesFolder  a copied Messages folder (chat.db + Attachments)
//   2 LiveChatDBIngester           liveChatDB           ~/Library/Messages of this machine
//   3 IOSDeviceBackupIngester      iosDeviceBackup      an unencrypted device backup folder
//   4 NonMessageSourceIngester     iosBackupNoMessages  registered for coverage only; reports "no messages"
//   5 NonMessageSourceIngester     htmlExport           registered for coverage only; reports "no messages"
//
// The classes are defined by the readers in their own files (ingest_*.h/.cpp in
// this folder); callers only need the factories below.
#include "core/archive/ingester.h"

#include <memory>
#include <vector>

namespace kx {

class MacOSMessagesFolderIngester;
class LiveChatDBIngester;
class IOSDeviceBackupIngester;
class NonMessageSourceIngester;

std::shared_ptr<Ingester> makeMacOSMessagesFolderIngester();
std::shared_ptr<Ingester> makeLiveChatDBIngester();
std::shared_ptr<Ingester> makeIOSDeviceBackupIngester();
// `format` must be one of the formats that hold no messages.
std::shared_ptr<Ingester> makeNonMessageSourceIngester(SourceFormat format);

// The five above, in that order; a new list on every call.
std::vector<std::shared_ptr<Ingester>> makeDefaultIngesters();

} // namespace kx
