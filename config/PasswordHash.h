// Passwords stored as Argon2id hashes: the standard encoded form that
// libsodium's crypto_pwhash_str makes at its interactive limits
// ("$argon2id$v=19$m=65536,t=2,p=1$salt$hash"). A stored password field that
// begins with "$argon2id$" is such a hash; any other field is a plain
// password, compared as it is, and an empty one lets anyone in.
//
// Making and checking a hash takes tens of milliseconds and 64 MiB: never
// on the event loop's thread (see CPasswordChecks). The cheap questions
// (IsHash, IsReadable) may be asked anywhere.
#pragma once

#include "config/ServerSettings.h"

#include <string>
#include <vector>

class CPasswordHash {
public:
    static constexpr const char* kPrefix = "$argon2id$";
    // Only this much of a password counts: a longer one is cut before it is
    // hashed or checked (a line of megabytes is not worth the copying).
    static constexpr size_t kMaxPasswordBytes = 4096;

    // The field is a hash (readable or not), not a plain password.
    static bool IsHash(const std::string& strField);
    // The hash is in a form libsodium can check. A field that is a hash but
    // not readable never logs anyone in.
    static bool IsReadable(const std::string& strHash);
    // A hash of no account's password: what an unknown name is checked
    // against, so that it takes as long as a known one.
    static const std::string& DummyHash();

    // Slow: the hash of the password (cut at kMaxPasswordBytes) with a new
    // salt; empty when it cannot be made (no memory).
    static std::string Hash(const std::string& strPassword);
    // Slow: the password (cut as for Hash) is the one the hash was made of.
    // False for a hash that cannot be read.
    static bool Matches(const std::string& strHash, const std::string& strPassword);

    // The names of the users whose stored hash cannot be read.
    static std::vector<std::string> UnreadableUsers(const CUserList& users);
    // The list holds at least one hash.
    static bool HoldsHashes(const CUserList& users);
    // The record is one HashPlainPasswords replaces: all its fields, and a
    // plain, non-empty password.
    static bool NeedsHash(const CUserRecord& user);
    // Slow: every record with all its fields and a plain, non-empty password
    // is stored with its hash instead (a record hashing fails for keeps its
    // password). A record without its permission fields stays as it is: a
    // hash holds commas, and its short form would no longer read the same.
    // True when a record changed.
    static bool HashPlainPasswords(CUserList& rUsers);
};
