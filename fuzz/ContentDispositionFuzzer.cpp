// A Content-Disposition header from arbitrary bytes: the file name it gives is always one a
// download may be written under (no folder, no control character, no hidden name, bounded).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/Strings.hpp"
#include "updates/DownloadFileName.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto name = vt::fileNameFromContentDisposition(text)) {
        if (name->empty() || name->size() > vt::kMaxDownloadFileNameBytes || name->front() == '.' ||
            name->find('/') != std::string::npos || name->find('\\') != std::string::npos) {
            std::abort();
        }
        for (unsigned char c : *name) {
            if (c < 0x20 || c == 0x7f) std::abort();
        }
    }
    (void)vt::percentDecoded(text);
    return 0;
}
