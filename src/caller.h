// Whose ids are whose: which ids the caller's user namespace maps, and
// whether the kernel's access check sees the caller as open does.
#ifndef CRED_STOW_SRC_CALLER_H
#define CRED_STOW_SRC_CALLER_H

#include <stdint.h>

// Whether id, an owner (or, with group, a group) as fstat shows it, may
// stand for one that the caller's user namespace does not map, so that it
// tells nothing about who that is, and a new file given it would belong to
// whoever the namespace's overflow id is.
bool may_be_unmapped(uint64_t id, bool group);

// Whether the kernel's access check, which goes by the real ids and a real
// root's permitted capabilities, sees the caller as open does, which goes by
// the effective ones.
bool access_check_as_open();

#endif // CRED_STOW_SRC_CALLER_H
