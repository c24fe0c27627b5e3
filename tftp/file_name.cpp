#include "tftp/file_name.h"

#include <cstdio>

#include "common/random.h"

namespace qvr {

void format_tftp_file_name(char* out, std::size_t size, TftpNameKind kind, unsigned number, std::int32_t stage) {
    if (size == 0) return;
    number &= 0xFFFFu;
    switch (kind) {
        case TftpNameKind::upgrade:
            std::snprintf(out, size, "/qvr%x.bi1", number);
            break;
        case TftpNameKind::recovery:
            std::snprintf(out, size, "/qvr%x.bin", number);
            break;
        case TftpNameKind::staged:
            std::snprintf(out, size, "/qvr%x.bi%d", number, static_cast<int>(stage));
            break;
    }
}

void make_tftp_file_name(char* out, std::size_t size, TftpNameKind kind, std::int32_t stage) {
    format_tftp_file_name(out, size, kind, next_random(), stage);
}

}  // namespace qvr
