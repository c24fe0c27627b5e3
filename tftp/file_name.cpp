#include "tftp/file_name.h"

#include <cstdio>

#include "common/random.h"

namespace qvr {

void format_wide_tftp_file_name(char* out, std::size_t size, TftpNameKind kind, std::uint32_t number,
                                std::int32_t stage) {
    if (size == 0) return;
    switch (kind) {
        case TftpNameKind::upgrade:
            std::snprintf(out, size, "/qvr%x.bi1", static_cast<unsigned>(number));
            break;
        case TftpNameKind::recovery:
            std::snprintf(out, size, "/qvr%x.bin", static_cast<unsigned>(number));
            break;
        case TftpNameKind::staged:
            std::snprintf(out, size, "/qvr%x.bi%d", static_cast<unsigned>(number), static_cast<int>(stage));
            break;
    }
}

void format_tftp_file_name(char* out, std::size_t size, TftpNameKind kind, unsigned number, std::int32_t stage) {
    format_wide_tftp_file_name(out, size, kind, number & 0xFFFFu, stage);
}

void make_tftp_file_name(char* out, std::size_t size, TftpNameKind kind, std::int32_t stage) {
    format_tftp_file_name(out, size, kind, next_random(), stage);
}

}  // namespace qvr
