// One connection to a PipeWire daemon: libpipewire's loop on a thread of its
// own, the core, and what the registry shows of the graph that the host
// needs: the sources and sinks with their formats, the desktop's default
// source and sink, the nodes that play an application's sound and every
// port. Every wait on the daemon ends by a deadline of ours.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "audio/deadline.h"
#include "audio/pipewire/libpipewire.h"

namespace kestravo::audio::pipewire {

// A node that plays into the graph (media.class Stream/Output/Audio), once
// its properties have come.
class Connection;
struct PlayingNode {
  std::uint64_t serial = 0;  // object.serial: ids are reused, serials grow
  std::string application;   // application_of its properties
  bool known = false;        // its properties have come
  pw_proxy* proxy = nullptr;
  spa_hook listener{};
  Connection* connection = nullptr;
};

// A node that is a device: a source, or a sink (whose monitor ports carry
// what it plays), once its properties and its format have come.
struct DeviceNode {
  std::uint64_t serial = 0;
  std::string name;         // node.name: unique, stable across restarts
  std::string description;  // node.description, else node.nick, else its name
  bool source = false;
  bool sink = false;
  std::int64_t priority = 0;  // priority.session
  bool known = false;         // its properties have come
  // Its own format, as its first EnumFormat offers it: spa_audio_format,
  // rate and channel positions (spa_audio_channel); none yet while empty.
  std::uint32_t format = 0;
  std::uint32_t rate = 0;
  std::vector<std::uint32_t> positions;
  pw_proxy* proxy = nullptr;
  spa_hook listener{};
  Connection* connection = nullptr;
};

struct Port {
  std::uint32_t node = 0;
  std::uint32_t index = 0;  // port.id: its place among the node's ports
  bool output = false;
  bool monitor = false;
  std::string channel;  // audio.channel: FL, FR, MONO, AUX0, ...
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // Connects to the daemon libpipewire finds as it always does
  // (PIPEWIRE_REMOTE, PIPEWIRE_RUNTIME_DIR, XDG_RUNTIME_DIR) and reads the
  // graph; none when it is not there or has not answered by `deadline`.
  static std::shared_ptr<Connection> open(const Libpipewire& pw, Deadline deadline);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const Libpipewire& pw() const { return pw_; }
  pw_core* core() const { return core_; }
  pw_loop* loop() const { return pw_.pw_thread_loop_get_loop(thread_loop_); }

  // libpipewire's objects, and the graph below, may be touched only with
  // the loop locked; its callbacks run with it held, and may take it again.
  class Lock {
   public:
    explicit Lock(const Connection& c) : c_(c) { c_.pw_.pw_thread_loop_lock(c_.thread_loop_); }
    ~Lock() { c_.pw_.pw_thread_loop_unlock(c_.thread_loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    const Connection& c_;
  };

  // With the loop locked.
  const std::map<std::uint32_t, PlayingNode>& playing() const { return playing_; }
  const std::map<std::uint32_t, Port>& ports() const { return ports_; }
  const std::map<std::uint32_t, DeviceNode>& devices() const { return devices_; }
  // The node names of the desktop's default source and sink, as the session
  // manager sets them; until it has, the source or sink of the highest
  // priority, as the sound server's protocol takes it meanwhile. Empty
  // while there is none.
  std::string default_source() const { return default_device(false); }
  std::string default_sink() const { return default_device(true); }
  // The applications whose sound plays now, each once, in the order their
  // first node appeared.
  std::vector<std::string> applications() const;
  // The daemon has gone (or the connection broke).
  bool lost() const { return lost_.load(std::memory_order_relaxed); }

  // Asks the daemon for a sign of life; answers() counts its answers. With
  // the loop locked.
  void ask();
  std::uint64_t answers() const { return answers_.load(std::memory_order_relaxed); }

  // `changed(userdata)` runs on the loop thread, with the loop locked,
  // whenever a node or port comes or goes, a default changes, and when the
  // daemon is lost. Both
  // with the loop locked, never from within such a call.
  using Changed = void (*)(void* userdata);
  void watch(Changed changed, void* userdata);
  void unwatch(void* userdata);

  // Leaves the loop running for the rest of the process, with `keep` (what
  // its callbacks use): a stream whose callback is stuck on the loop must
  // not wait for it. The connection is then never destroyed.
  void abandon(std::shared_ptr<void> keep);

 private:
  explicit Connection(const Libpipewire& pw) : pw_(pw) {}
  bool connect(Deadline deadline);
  void notify();
  void forget_node(std::uint32_t id);
  std::string default_device(bool sink) const;
  void watch_node(std::uint32_t id, const spa_dict* props, bool source, bool sink);
  void watch_defaults(std::uint32_t id);

  static void on_core_done(void* self, std::uint32_t id, int seq);
  static void on_core_error(void* self, std::uint32_t id, int seq, int res, const char* message);
  static void on_global(void* self, std::uint32_t id, std::uint32_t permissions, const char* type,
                        std::uint32_t version, const spa_dict* props);
  static void on_global_remove(void* self, std::uint32_t id);
  static int on_default(void* self, std::uint32_t subject, const char* key, const char* type,
                        const char* value);

  const Libpipewire& pw_;
  pw_thread_loop* thread_loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_registry* registry_ = nullptr;
  spa_hook core_listener_{};
  spa_hook registry_listener_{};

  std::map<std::uint32_t, PlayingNode> playing_;
  std::map<std::uint32_t, Port> ports_;
  std::map<std::uint32_t, DeviceNode> devices_;
  pw_proxy* defaults_ = nullptr;  // the "default" metadata
  std::uint32_t defaults_id_ = 0;
  spa_hook defaults_listener_{};
  std::string default_source_;
  std::string default_sink_;
  std::atomic<std::uint64_t> answers_{0};
  std::vector<std::pair<Changed, void*>> watchers_;
  std::atomic<bool> lost_{false};
  std::shared_ptr<Connection> self_;
  std::vector<std::shared_ptr<void>> kept_;

  // The handshake: the registry's first answer, then the properties of the
  // nodes bound meanwhile. Locked after the loop's lock, never before it.
  std::mutex mutex_;
  std::condition_variable changed_;
  int sync_seq_ = -1;
  int rounds_ = 0;  // syncs answered
  bool failed_ = false;
};

}  // namespace kestravo::audio::pipewire
