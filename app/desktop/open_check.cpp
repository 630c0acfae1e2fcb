#include "app/desktop/open_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFileInfo>
#include <QList>
#include <QMimeDatabase>
#include <QMimeType>
#include <cerrno>

#include "platform/unique_fd.h"

namespace quillfern {
namespace {

// As much of the start of a file as the MIME database's magic rules look at.
constexpr qsizetype ContentBytes = 16384;

struct RiskyType {
  const char* name;
  const char* reason;
};

// Types a desktop runs rather than shows, with the types derived from them
// (QMimeType::inherits follows the database's parents and aliases). Names
// differ between versions of the database; every one is listed.
constexpr RiskyType RiskyTypes[] = {
    {"application/x-desktop", "it is a launcher"},
    {"application/x-ms-shortcut", "it is a launcher"},
    // Native programs, and the scripts the database counts among them (shell,
    // Perl, Python, Ruby, Lua, awk, JavaScript and with it JSON, AppImages).
    {"application/x-executable", "it is a program or script"},
    {"application/x-pie-executable", "it is a program or script"},
    {"application/x-sharedlib", "it is a program or script"},
    {"application/x-shellscript", "it is a program or script"},
    {"application/x-perl", "it is a program or script"},
    {"application/x-python", "it is a program or script"},
    {"text/x-python", "it is a program or script"},
    {"text/x-python3", "it is a program or script"},
    {"application/x-ruby", "it is a program or script"},
    {"application/x-php", "it is a program or script"},
    {"application/vnd.appimage", "it is a program or script"},
    {"application/x-iso9660-appimage", "it is a program or script"},
    // Windows programs, which a desktop may hand to Wine.
    {"application/x-msdos-program", "it is a program or script"},
    {"application/x-ms-dos-executable", "it is a program or script"},
    {"application/vnd.microsoft.portable-executable", "it is a program or script"},
    {"application/x-msdownload", "it is a program or script"},
    {"application/x-msi", "it is a program or script"},
    {"application/x-bat", "it is a program or script"},
    {"application/x-msdos-batch", "it is a program or script"},
    // Java, which a desktop may hand to "java -jar" or Web Start.
    {"application/x-java-archive", "it is a program or script"},
    {"application/x-java-jnlp-file", "it is a program or script"},
    {"application/x-java", "it is a program or script"},
};

// The reason a type of the file runs, or none.
const char* RiskOf(const QMimeType& type) {
  if (!type.isValid()) return nullptr;
  for (const RiskyType& risky : RiskyTypes) {
    if (type.inherits(QString::fromLatin1(risky.name))) return risky.reason;
  }
  return nullptr;
}

OpenCheck Refused(const char* reason) {
  return {false, QString::fromLatin1(reason)};
}

}  // namespace

OpenCheck CheckOpen(const QString& path) {
  const QByteArray native = QFile::encodeName(path);
  // Non-blocking: a pipe put in the file's place must not hold the window up.
  UniqueFd file(::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.Valid()) {
    return Refused(errno == ELOOP ? "it is not a plain file" : "it cannot be read");
  }
  struct stat status {};
  if (::fstat(file.Get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return Refused("it is not a plain file");
  }
  if ((status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0) {
    return Refused("it is marked as a program");
  }
  QByteArray start(ContentBytes, Qt::Uninitialized);
  qsizetype filled = 0;
  while (filled < start.size()) {
    const ssize_t got =
        ::read(file.Get(), start.data() + filled, static_cast<size_t>(start.size() - filled));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return Refused("it cannot be read");
    if (got == 0) break;
    filled += got;
  }
  start.truncate(filled);

  const QMimeDatabase database;
  if (const char* reason = RiskOf(database.mimeTypeForData(start))) return Refused(reason);
  // Every type the name's patterns give, not only the first one.
  const QString name = QFileInfo(path).fileName();
  for (const QMimeType& type : database.mimeTypesForFileName(name)) {
    if (const char* reason = RiskOf(type)) return Refused(reason);
  }
  // A database without the launcher's type cannot tell the rest either.
  if (!database.mimeTypeForName("application/x-desktop").isValid()) {
    return Refused("its type is unknown");
  }
  return {true, {}};
}

}  // namespace quillfern
