// Helpers shared by the library's source files; not installed.
#pragma once

#include "creds/creds.h"

#include <cstdint>
#include <string>

// Index of the first entry of the type, or actual when there is none. The
// walk ends at a header whose values would run past the list.
uint32_t creds_find_entry(const creds_set *handle, uint32_t type);
// Whether count words form whole entries.
bool creds_words_whole(const uint32_t *words, uint32_t count);
// The status reader on an open descriptor (closed before it returns):
// words needed, or a negated errno value.
int proc_status_read(int fd, uint32_t *list, int room);
// Whole-text match of a pattern with '*' (any run) and '?' (one character).
bool creds_glob_match(const char *pattern, const char *text);

// The account files the names of users and groups come from.
constexpr const char CREDS_PASSWD_PATH[] = "/etc/passwd";
constexpr const char CREDS_GROUP_PATH[] = "/etc/group";
// The id of the account name in an account file ("name:password:id:..."):
// true with *id, false when it is not there or the file cannot be read.
bool creds_account_id(const char *file, const char *name, long *id);
// The name of the first account of the id in an account file, or false.
bool creds_account_name(const char *file, long id, std::string &name);
