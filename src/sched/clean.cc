#include "sched/clean.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>

#include "base/diag.h"
#include "base/settings.h"
#include "graph/deferred.h"
#include "graph/path.h"
#include "graph/stringtab.h"
#include "sched/build_loop.h"
#include "sched/consider.h"
#include "sched/fscache.h"

namespace kiln::sched {

namespace {

bool graph_finished = false;

// A rule lies in the clean area when the area is the whole tree, or the
// rule's directory is the area's directory or lies below it.
bool in_area(const graph::rule* r, const std::string& area) {
  if (area == ".") return true;
  std::string_view dir = graph::text(r->prefix);
  return dir == area || (dir.size() > area.size() && dir.substr(0, area.size()) == area &&
                         dir[area.size()] == '/');
}

// The removal list: rules linked most recently queued first.
struct removal_list {
  std::vector<graph::ruleid> prev, next;
  graph::ruleid head = -1;

  explicit removal_list(size_t n) : prev(n, -1), next(n, -1) {}

  void unlink(graph::ruleid id) {
    if (prev[id] >= 0) next[prev[id]] = next[id]; else if (head == id) head = next[id];
    if (next[id] >= 0) prev[next[id]] = prev[id];
    prev[id] = next[id] = -1;
  }
  void push_front(graph::ruleid id) {
    unlink(id);
    next[id] = head;
    if (head >= 0) prev[head] = id;
    head = id;
  }
};

bool removable(const graph::rule* r) {
  return !(r->flags & (graph::k_rule_phony | graph::k_rule_implicit));
}

// The rule building the directory that holds path, when it should be
// removed in this clean and is not queued yet; otherwise -1.
graph::ruleid directory_rule(const std::string& path, const std::string& area) {
  std::string dir = graph::simplify_path(path + "/..");
  if (cfg.debug) diag::trace("dir-up %s\n", dir.c_str());
  graph::strid id = graph::lookup(dir.c_str(), dir.size());
  if (id < 0) return -1;
  graph::ruleid rid = graph::ruleid_by_tgt(id);
  if (rid < 0) return -1;
  graph::rule* r = graph::rule_at(rid);
  if (!removable(r) || (r->flags & graph::k_rule_in_removal_list) || !in_area(r, area)) return -1;
  return rid;
}

// Queues every rule for removal, files before the directories that hold
// them.
removal_list build_removal_list(const std::string& area) {
  size_t n = graph::rule_count();
  removal_list list(n);
  for (graph::ruleid id = 0; id < static_cast<graph::ruleid>(n); id++) {
    graph::rule* r = graph::rule_at(id);
    if (!in_area(r, area) || !removable(r) || (r->flags & graph::k_rule_in_removal_list)) continue;
    for (graph::tgt* t = r->first_tgt; t; t = t->next) {
      if (cfg.debug) diag::trace("itering tgt %s\n", graph::text(t->id));
      std::vector<graph::ruleid> found;  // parent first, then further up
      std::string path = graph::text(t->id);
      for (;;) {
        if (cfg.debug) diag::trace("itering dir %s\n", path.c_str());
        graph::ruleid dir = directory_rule(path, area);
        if (dir < 0) break;
        graph::rule* d = graph::rule_at(dir);
        d->flags |= graph::k_rule_in_removal_list;
        if (cfg.debug) diag::trace("adding rule %d to rm list\n", dir);
        found.push_back(dir);
        path = graph::text(d->first_tgt->id);
      }
      // Outermost first to the front, so that inner directories precede
      // the directories that hold them.
      for (auto it = found.rbegin(); it != found.rend(); ++it) {
        if (!(graph::rule_at(*it)->flags & graph::k_rule_in_removal_list)) {
          printf("rule %d not cleanqueued\n", *it);
          diag::internal_error();
        }
        list.push_front(*it);
      }
    }
    r->flags |= graph::k_rule_in_removal_list;
    list.push_front(id);
  }
  return list;
}

void remove_target(const char* path) {
  struct stat st;
  if (lstat(path, &st) != 0) {
    if (errno == ENOENT) return;
    perror("kiln: *** Can't stat file");
    diag::fatal("Can't stat file %s", path);
  }
  const char* kind = nullptr;
  if (S_ISDIR(st.st_mode)) {
    if (!cfg.silent) printf("rmdir: %s\n", path);
    if (rmdir(path) != 0 && !cfg.silent) {
      fflush(stdout);
      perror("kiln: (ignoring) can't rmdir");
    }
    return;
  }
  if (S_ISFIFO(st.st_mode)) kind = "fifo";
  if (S_ISSOCK(st.st_mode)) kind = "socket";
  if (S_ISLNK(st.st_mode)) kind = "symlink";
  if (S_ISREG(st.st_mode)) kind = "regular";
  if (!kind) return;  // devices are left alone
  if (!cfg.silent) printf("unlink %s: %s\n", kind, path);
  if (unlink(path) != 0) {
    fflush(stdout);
    perror("kiln: *** Can't unlink file");
    diag::fatal("Can't unlink file %s", path);
  }
}

}  // namespace

void finish_graph() {
  if (graph_finished) return;
  graph_finished = true;
  graph::resolve_deferred_deps(0);
  prepare_all();
}

std::vector<graph::ruleid> removal_order(const std::string& directory) {
  removal_list list = build_removal_list(directory);
  std::vector<graph::ruleid> order;
  for (graph::ruleid id = list.head; id >= 0; id = list.next[id]) order.push_back(id);
  return order;
}

void clean(const std::string& directory, bool clean, bool distclean) {
  uint32_t hook = clean && distclean ? graph::k_rule_isbothcleanhook
                  : clean            ? graph::k_rule_iscleanhook
                                     : graph::k_rule_isdistcleanhook;
  const char* word = clean && distclean ? "BOTHCLEAN" : clean ? "CLEAN" : "DISTCLEAN";
  std::vector<graph::ruleid> hooks;
  for (graph::ruleid id = 0; id < static_cast<graph::ruleid>(graph::rule_count()); id++) {
    graph::rule* r = graph::rule_at(id);
    if (!(r->flags & hook) || !in_area(r, directory)) continue;
    // A parent directory's hook runs after the hooks below it.
    std::string parent = graph::simplify_path(std::string(graph::text(r->prefix)) + "/../" + word);
    if (parent.compare(0, 3, "../") != 0) {
      parent += "///";
      graph::defer_dep(graph::intern(parent.c_str(), parent.size()), r->first_tgt->id, 0);
    }
    hooks.push_back(id);
  }
  finish_graph();
  for (graph::ruleid id : hooks) make_wanted(id);
  if (!hooks.empty()) build(false);

  removal_list list = build_removal_list(directory);
  for (graph::ruleid id = list.head; id >= 0; id = list.next[id]) {
    graph::rule* r = graph::rule_at(id);
    for (graph::tgt* t = r->first_tgt; t; t = t->next) {
      bool dist = (r->flags & graph::k_rule_dist) || t->is_dist;
      if (dist ? distclean : clean) {
        remove_target(graph::text(t->id));
        invalidate(t->id);
      }
    }
  }
  // What the hooks built may have just been removed: a build that follows
  // starts from the prepared state and sees the files as they are now.
  if (!hooks.empty()) reset_consideration();
  fflush(stdout);
}

}  // namespace kiln::sched
