// The archive compiled into the installer. Only this file depends on the archive's
// bytes, so a new archive rebuilds this small object and relinks, nothing more.
#include "installer/ClientInstallerBase.h"
#include "platform/ProgramFile.h"

// The client archive: THE_ZIP_BYTES1..4 and kPayloadTable, generated from the archive
// file at build time.
#include "ClientPayload.inc"

namespace varnesk {

PayloadView ClientInstallerBase::EmbeddedPayload() {
  // Read from the program's file where the system can say where the slices lie in it
  // (they follow each other in memory, so they are one range of the file).
  static const PayloadView view = [] {
    PayloadView payload{kPayloadTable, sizeof kPayloadTable / sizeof kPayloadTable[0]};
    bool contiguous = payload.count > 0;
    for (std::size_t i = 1; i < payload.count && contiguous; ++i) {
      contiguous = payload.slices[i].bytes == payload.slices[i - 1].bytes + payload.slices[i - 1].length;
    }
    if (contiguous) {
      platform::OpenProgramFileAt(payload.slices[0].bytes, static_cast<std::size_t>(payload.Size()),
                                  payload.fd, payload.fileOffset);
    }
    // Read from the file, nothing else maps the slices' pages in, so the large entries
    // read in place may drop theirs again without making anyone fault twice.
    payload.releasable = payload.FromFile();
    return payload;
  }();
  return view;
}

PayloadView ClientInstallerBase::EmbeddedPayloadInMemory() {
  return PayloadView{kPayloadTable, sizeof kPayloadTable / sizeof kPayloadTable[0]};
}

bool ClientInstallerBase::EmbeddedPayloadIsIntact() {
  return IsIntactPayload(EmbeddedPayload(), kPayloadSize, kPayloadCrc32);
}

}  // namespace varnesk
