// The policy parser over arbitrary bytes: the first byte chooses the tag
// table (policy text or account file) and the configuration flags, the
// rest is the text, placed at the very end of its heap block behind the
// configuration, so that any read past the text is caught. The records are
// then printed into a scratch buffer. Nothing here reaches the kernel: the
// credential types of the account packages are fixed instead of asked for.
// The parser's messages go to standard error (-close_fd_mask=2 hides them).
#include "restok/policy.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

int sink(const char *format, ...)
{
    static char scratch[256];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(scratch, sizeof scratch, format, ap);
    va_end(ap);
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const int types[4] = {1, 2, 3, 0};
    for (int i = 0; i < 4; i++)
        RESTOK::restok_types[i].type = types[i];
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    uint8_t choice = data[0];
    size_t text = size - 1;
    char *block = static_cast<char *>(std::malloc(sizeof(RESTOK::configuration) + text));
    if (!block)
        return 0;
    auto *cfg = new (block) RESTOK::configuration();
    std::memcpy(cfg->text(), data + 1, text);
    cfg->flags = choice & (RESTOK::CONFIG_ACCOUNT_MODE | RESTOK::CONFIG_EXTRA);
    RESTOK::Allocator allocator(cfg);
    if (choice & 0x10) {
        cfg->source_package = RESTOK::builtin_package(cfg, "SRC");
        cfg->socket_package = RESTOK::builtin_package(cfg, "_socket_");
        cfg->system_package = RESTOK::builtin_package(cfg, "");
        if (cfg->socket_package)
            cfg->socket_package->provider = nullptr;
        if (cfg->system_package)
            cfg->system_package->provider = nullptr;
    }
    const RESTOK::tag *const *table =
        (choice & 0x20) ? RESTOK::restok_account_tags : RESTOK::restok_tags;
    int rc = RESTOK::restok_parse(&cfg->header, int(text), RESTOK::ARENA_SIZE, table, cfg,
                                  nullptr, &allocator);
    if (rc >= 0) {
        RESTOK::report_pending(cfg);
        RESTOK::DB db(&cfg->header, nullptr, nullptr, nullptr, cfg, nullptr);
        db.print(sink);
    }
    restok_destroy(cfg);
    return 0;
}
