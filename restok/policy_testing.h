// Test helpers: a configuration parsed from a text in memory, with the
// built-in packages a load makes, and the messages the parse wrote.
#pragma once

#include "restok/policy.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace policy_testing {

// The prefix warnx puts in front of every message.
inline std::string prog() { return std::string(program_invocation_short_name) + ": "; }

// One message as warnx writes it.
inline std::string w(const std::string &message) { return prog() + message + "\n"; }

struct parsed {
    RESTOK::configuration *cfg = nullptr;
    RESTOK::Allocator *allocator = nullptr;
    int rc = 0;
    std::string messages;

    // Parses text as a policy text behind a fresh configuration.
    explicit parsed(const std::string &text, uint8_t flags = 0, bool builtins = true,
                    const RESTOK::tag *const *table = RESTOK::restok_tags)
    {
        RESTOK::set_restok_types();
        size_t size = sizeof(RESTOK::configuration) + text.size();
        char *block = static_cast<char *>(std::calloc(1, size));
        cfg = new (block) RESTOK::configuration();
        std::memcpy(cfg->text(), text.data(), text.size());
        cfg->flags = flags;
        allocator = new RESTOK::Allocator(cfg);
        if (builtins) {
            cfg->source_package = RESTOK::builtin_package(cfg, "SRC");
            cfg->socket_package = RESTOK::builtin_package(cfg, "_socket_");
            cfg->system_package = RESTOK::builtin_package(cfg, "");
            cfg->socket_package->provider = nullptr;
            cfg->system_package->provider = nullptr;
        }
        testing::internal::CaptureStderr();
        rc = RESTOK::restok_parse(&cfg->header, int(text.size()), RESTOK::ARENA_SIZE,
                                  table, cfg, nullptr, allocator);
        messages = testing::internal::GetCapturedStderr();
    }
    ~parsed()
    {
        delete allocator;
        restok_destroy(cfg);
    }
    parsed(const parsed &) = delete;
    parsed &operator=(const parsed &) = delete;

    RESTOK::package *package(const char *name) const
    {
        return RESTOK::find_package(cfg, name, std::strlen(name));
    }
    // Names of the package's resources, space-separated.
    std::string resources(const char *name) const
    {
        std::string out;
        RESTOK::package *p = package(name);
        for (RESTOK::resource *r = p ? p->resources : nullptr; r; r = r->next)
            out += (out.empty() ? "" : " ") + std::string(r->name);
        return out;
    }
    int record_count() const
    {
        int n = 0;
        for (RESTOK::record *r = cfg->header.records; r; r = r->next)
            n++;
        return n;
    }
};

// "pkg::res" of each request of the list, space-separated.
inline std::string requests(const RESTOK::request *r)
{
    std::string out;
    for (; r; r = r->next)
        out += (out.empty() ? "" : " ") + std::string(r->pkg->name) + "::" + r->res->name;
    return out;
}

}  // namespace policy_testing
