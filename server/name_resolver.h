#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/unique_fd.h"
#include "server/exchange_folder.h"
#include "server/receiving_names.h"

namespace quillfern {

// What a request means to do with the name it gives.
enum class NameIntent {
  Read,          // send a file: the object opened for reading
  Replace,       // receive a file: the folder to hold it and the name, claimed for the transfer
  Add,           // receive a file beside what is there: the folder and the name, not claimed
  Delete,        // remove a file or an empty folder: its folder and the name, not followed
  Enter,         // make a folder current: the folder opened
  CreateFolder,  // make a new folder: the folder to hold it and the name
  List,          // enumerate a folder: the folder opened for reading its entries
  Look,          // see where a name leads (a link in a listing) without opening the object
};

// Why a name cannot be used as asked.
enum class NameRefusal {
  None,
  Outside,    // it leads out of the exchange folder, or names the folder itself as an object
  Hidden,     // it lies at or below a hidden name while hidden access is off
  Receiving,  // another transfer is receiving an object under that name
  Missing,    // nothing is there, or no folder to hold it
  Unusable,   // something else stops it: no access, an I/O error
};

// The answer of the resolver: a refusal, or what the intent asked for.
struct ResolvedName {
  NameRefusal refusal = NameRefusal::None;
  int error = 0;          // errno behind Missing and Unusable
  std::string relative;   // the path below the exchange folder, normalised; "" is the folder itself
  UniqueFd folder;        // Replace, Add, Delete, CreateFolder: the folder that holds the name
  std::string leaf;       // Replace, Add, Delete, CreateFolder: the name's last segment
  UniqueFd handle;        // Read: the object; Enter, Look: O_PATH; List: open for reading
  bool exists = false;    // Delete: something is at the name; status then says what (not followed)
  struct stat status {};  // Read: of the opened object; Delete: of the name itself
  ReceivingName claim;    // Replace: the name, held until the transfer ends
};

// The one place that decides where a name from a request leads. The lexical
// exchange-folder test and the hidden-name test give the answers a client
// hears; then the kernel resolves the name beneath a descriptor of the
// exchange folder (openat2 with RESOLVE_BENEATH), so a folder swapped for a
// link between the test and the use still cannot lead outside. Handlers act
// only on the descriptors it hands out, with *at calls.
class NameResolver {
 public:
  NameResolver() = default;
  // root: the exchange folder, normalised and ending with '/'.
  explicit NameResolver(const std::string& root);

  // name: '/'-separated, relative to currentFolder (which is relative to
  // the exchange folder). Hidden names are refused whether they exist or
  // not, so the answer never tells what is there.
  ResolvedName Resolve(const std::string& currentFolder, const std::string& name, NameIntent intent,
                       bool allowHidden) const;

 private:
  ResolvedName ResolveName(const std::string& currentFolder, const std::string& name,
                           NameIntent intent, bool allowHidden) const;
  bool MissingBelowHidden(std::string_view relative, bool allowHidden) const;
  // openat2 beneath the exchange folder: a descriptor, or minus errno;
  // viaLink tells whether a link was followed on the way.
  int OpenBeneathRoot(const std::string& relative, uint64_t flags, bool& viaLink) const;
  // Whether what fd names lies at or below a hidden name, seen from the
  // exchange folder, after links.
  bool LeadsToHidden(int fd, bool viaLink, bool allowHidden) const;
  // Requests follow the exchange folder's path: while no folder is there
  // (removed, or renamed away) nothing is served, and a folder made again
  // in its place is opened and served from then on. 0, or minus errno.
  int FollowRootPath() const;
  int OpenRoot() const;  // 0, or minus errno

  std::string root_;
  ExchangeFolder lexical_;
  // The worker's, like the whole resolver once its session runs.
  mutable UniqueFd rootFd_;       // O_PATH, the folder at root_ when it was last looked at
  mutable std::string realRoot_;  // that folder as the kernel names it, for telling links to
                                  // hidden places
};

// For tests: runs between the lexical test of a name and its resolution by
// the kernel, where another program could swap a folder for a link.
using NameCheckedHook = void (*)(const std::string& relative);
void SetNameCheckedHookForTesting(NameCheckedHook hook);

}  // namespace quillfern
