#pragma once

// The relay's per-user directories, after the XDG Base Directory rules (version 0.8). Every
// function reads the environment when it is called, so a test can point them elsewhere.

#include <optional>
#include <string>

namespace kestrel {

// $HOME when it is an absolute path, otherwise the home directory in the password database.
// Throws std::system_error when neither gives one.
std::string homeDirectory();

// This user's home directory in the password database, or none when the database has no entry
// for this user or the entry's directory is not an absolute path.
std::optional<std::string> passwordDatabaseHome();

// The XDG base directories themselves: the variable when it holds an absolute path (the
// XDG rules say to ignore a relative one), otherwise the documented default under home.
std::string configHome();  // $XDG_CONFIG_HOME or ~/.config
std::string dataHome();    // $XDG_DATA_HOME or ~/.local/share
std::string cacheHome();   // $XDG_CACHE_HOME or ~/.cache

// The relay's own directories inside them, each ending in "/kestrel-relay".
std::string configDirectory();
std::string dataDirectory();
std::string cacheDirectory();
// $XDG_RUNTIME_DIR/kestrel-relay; without XDG_RUNTIME_DIR, /tmp/kestrel-relay-<uid>. In /tmp
// another user may have created that name first: ensurePrivateDirectory refuses it then.
std::string runtimeDirectory();

// Creates every missing directory of `path`, each with mode 0700. Directories that already
// exist are left as they are. Throws std::system_error naming the directory that failed.
void createMissingDirectories(const std::string& path);

// createMissingDirectories, then makes sure the last directory is private: a real directory
// (not a symbolic link) owned by this user, with its mode tightened to 0700. Throws
// std::system_error with a one-line reason when it is not and cannot be made so.
void ensurePrivateDirectory(const std::string& path);

// The directory part of a path: "a/b" gives "a", "b" gives ".", "/b" gives "/".
std::string parentDirectory(const std::string& path);

}  // namespace kestrel
