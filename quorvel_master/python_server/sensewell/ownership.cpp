// Who owns a module directory: a marker beside each one names its process, so that a new
// bridge removes the directories of processes that are gone, and a cleanup waits for writers.
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sensewell.h"

namespace sensewell {
namespace {

constexpr const char *MARKER_SUFFIX = ".sensewell-owner";

// The start time of a process in clock ticks since boot ("" when it cannot be read), which
// tells a process from a later one that got its pid.
std::string start_time(long pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return "";
  auto close = text.rfind(')');  // the command name may hold spaces and parentheses
  if (close == std::string::npos) return "";
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  // Field 22 of the line; the state, its third, is the first after the name.
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) return field;
  }
  return "";
}

bool alive(long pid, const std::string &started) {
  if (pid <= 0) return false;
  if (access("/proc/self/stat", R_OK) == 0) {
    std::string now = start_time(pid);
    return !now.empty() && (started.empty() || now == started);
  }
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// An entry of the temporary folder that this user owns and that is of the kind expected,
// never followed through a symbolic link.
bool owned(const std::string &path, bool directory) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || st.st_uid != getuid()) return false;
  return directory ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
}

// Writers at work in each module directory; entries are never erased, so a writer stopped
// at exit can still count itself out without the GIL.
std::map<std::string, std::atomic<int>> &writers() {
  static auto *counts = new std::map<std::string, std::atomic<int>>();
  return *counts;
}

// Directories of this process's bridges not yet cleaned up; touched with the GIL held.
std::set<std::string> &live() {
  static auto *directories = new std::set<std::string>();
  return *directories;
}

// shutil's removal works through directory descriptors and never follows a link; what it
// cannot remove is left, and the caller looks at what remains.
void remove_tree(const std::string &directory) {
  try {
    call_parked(py::module_::import("shutil").attr("rmtree"), py::make_tuple(directory),
                py::dict(py::arg("ignore_errors") = true));
  } catch (py::error_already_set &e) {
    if (!is_exception(e)) throw;
  }
}

}  // namespace

std::string marker_path(const std::string &directory) {
  return directory + MARKER_SUFFIX;
}

void mark_owned(const std::string &directory) {
  std::ofstream marker(marker_path(directory), std::ios::trunc);
  marker << getpid() << ' ' << start_time(getpid()) << '\n';
  live().insert(directory);
}

void disown(const std::string &directory) {
  live().erase(directory);
  unlink(marker_path(directory).c_str());
}

void remove_live_directories() {
  for (const std::string &directory : std::set<std::string>(live())) {
    wait_for_writers(directory, 1.0);
    remove_tree(directory);
    struct stat st;
    if (lstat(directory.c_str(), &st) != 0) disown(directory);
  }
}

void remove_abandoned(const std::string &temp_folder) {
  std::vector<std::string> markers;
  if (DIR *folder = opendir(temp_folder.c_str())) {
    std::string suffix = MARKER_SUFFIX;
    while (dirent *entry = readdir(folder)) {
      std::string name = entry->d_name;
      if (name.size() > suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        markers.push_back(temp_folder + "/" + name);
      }
    }
    closedir(folder);
  }
  for (const std::string &marker : markers) {
    if (!owned(marker, false)) continue;
    long pid = 0;
    std::string started;
    {
      std::ifstream in(marker);
      if (!(in >> pid)) continue;  // being written, or not ours after all
      in >> started;
    }
    if (alive(pid, started)) continue;
    std::string directory = marker.substr(0, marker.size() - std::string(MARKER_SUFFIX).size());
    if (owned(directory, true)) remove_tree(directory);
    struct stat st;
    if (lstat(directory.c_str(), &st) != 0) {
      unlink(marker.c_str());
      log("info", "[LSP] Removed the module directory of an exited process: %s", directory);
    }
  }
}

Writing::Writing(const std::string &directory) : count_(&writers()[directory]) {
  ++*count_;
}

Writing::~Writing() {
  --*count_;
}

void wait_for_writers(const std::string &directory, double seconds) {
  std::atomic<int> *count = &writers()[directory];
  if (count->load() == 0) return;
  // The writers need the GIL to finish.
  PyThreadState *saved = PyEval_SaveThread();
  for (int waited = 0; count->load() > 0 && waited < seconds * 1000; ++waited) usleep(1000);
  park_on_exit([&] { PyEval_RestoreThread(saved); });
}

}  // namespace sensewell
