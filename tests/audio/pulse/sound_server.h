// A sound server of the tests' own, started in a temporary directory with a
// fixed set of sources, and reached by the children through PULSE_SERVER:
// a PulseAudio daemon, or PipeWire with WirePlumber and pipewire-pulse.
//
// Sources, in the order the listing must show them:
//   builtin_mic    "Built-in Audio Analog Stereo", stereo, the default source
//   usb_headset_1  "USB Headset Mono", mono (made before the default source)
//   usb_headset_2  "USB Headset Mono", mono: the same description
//   quad           "Quad-Interface Süd", 4 channels at AUX0..AUX3
//   known          "Known Samples": a FIFO source, s16le stereo 48 kHz
//   known_float    "Known Float Samples": a FIFO source, float32le stereo
//   speakers.monitor, headphones.monitor: the sinks' monitors; speakers is
//                  the default sink, made after headphones (a server made
//                  without outputs has neither)
//   wide           "Wide Samples": on a PipeWire server made wide, a FIFO
//                  source, s16le with 64 channels at AUX0..AUX63
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/child.h"

namespace kestravo::testing {

// PipeWire is reached through its sound-server protocol (pipewire-pulse), or
// natively (PipeWireNative).
enum class ServerKind { PulseAudio, PipeWire, PipeWireNative };

inline const char* server_name(ServerKind kind) {
  return kind == ServerKind::PulseAudio ? "PulseAudio"
         : kind == ServerKind::PipeWire ? "PipeWire"
                                        : "PipeWireNative";
}

inline void PrintTo(ServerKind kind, std::ostream* out) { *out << server_name(kind); }

class SoundServer {
 public:
  explicit SoundServer(ServerKind kind, bool outputs = true, bool wide = false)
      : kind_(kind), outputs_(outputs), wide_(wide) {
    if (missing(kind)) return;
    std::filesystem::create_directories(dir_.path() + "/home");
    std::filesystem::create_directories(dir_.path() + "/state");
    if (kind == ServerKind::PulseAudio) {
      start_pulseaudio();
    } else {
      start_pipewire();
    }
  }

  // Why a server cannot be started here: scripts/test leaves a server out
  // where installing it would remove part of the machine's own sound setup.
  // Its tests skip themselves with this reason.
  static std::optional<std::string> missing(ServerKind kind) {
    const std::string root = pipewire_root();
    const std::vector<std::string> programs =
        kind == ServerKind::PulseAudio
            ? std::vector<std::string>{"/usr/bin/pulseaudio", "/usr/bin/pactl"}
            : std::vector<std::string>{root + "/usr/bin/pipewire", root + "/usr/bin/wireplumber",
                                       "/usr/bin/pactl"};
    for (const auto& program : programs) {
      if (access(program.c_str(), X_OK) != 0) {
        return std::string(server_name(kind)) + " test server not installed (" + program +
               " missing): scripts/test does not install it where it conflicts with this "
               "machine's sound server";
      }
    }
    return std::nullopt;
  }

  // For a child that is to use this server.
  ChildOptions client_options() const {
    ChildOptions options;
    options.env["PULSE_SERVER"] = "unix:" + socket_;
    // PipeWire's own socket, which the tool prefers; a PulseAudio server has
    // none there, so no daemon of the machine's is reached. The PipeWire
    // row reaches the sound-server host through a socket name that leads
    // nowhere.
    options.env["PIPEWIRE_RUNTIME_DIR"] = dir_.path();
    if (kind_ == ServerKind::PipeWire) options.env["PIPEWIRE_REMOTE"] = "no-such-pipewire";
    return options;
  }

  std::string fifo(bool float_samples) const {
    return dir_.path() + (float_samples ? "/float.fifo" : "/known.fifo");
  }
  std::string wide_fifo() const { return dir_.path() + "/wide.fifo"; }

  // The process that speaks the PulseAudio protocol.
  pid_t pulse_pid() const { return pulse_->pid(); }
  // The process the tool speaks to: PipeWire's daemon when it does so
  // natively.
  pid_t client_server_pid() const {
    return kind_ == ServerKind::PipeWireNative ? pipewire_->pid() : pulse_->pid();
  }

  // Sends `sig` to every process of the server proper (on PipeWire the
  // daemon and pipewire-pulse; WirePlumber is left alone): SIGSTOP makes a
  // server that stops answering.
  void signal_server(int sig) const {
    if (pipewire_) ::kill(pipewire_->pid(), sig);
    ::kill(pulse_->pid(), sig);
  }

  // Kills PipeWire's session manager (WirePlumber).
  void kill_session_manager() const {
    if (session_) ::kill(session_->pid(), SIGKILL);
  }

  // pactl against this server; its standard output.
  std::string pactl(const std::vector<std::string>& args) const {
    const auto result = run("/usr/bin/pactl", args, {}, client_options());
    return result.status == 0 ? result.out : std::string();
  }

  ServerKind kind() const { return kind_; }

  // Where PipeWire's daemons come from: this machine's (empty), or those of
  // the chroot KESTRAVO_PIPEWIRE_ROOT names (another PipeWire generation),
  // started inside it. The chroot sees the temporary directory at the same
  // path, so the clients here reach the daemons through their sockets.
  static std::string pipewire_root() {
    const char* root = std::getenv("KESTRAVO_PIPEWIRE_ROOT");
    return root != nullptr ? root : "";
  }

 private:
  ChildOptions server_options() const {
    ChildOptions options;
    const std::string& d = dir_.path();
    options.env["HOME"] = d + "/home";
    options.env["XDG_RUNTIME_DIR"] = d;
    options.env["XDG_STATE_HOME"] = d + "/state";
    options.env["XDG_CONFIG_HOME"] = d + "/home";
    options.env["PULSE_RUNTIME_PATH"] = kind_ == ServerKind::PulseAudio ? d : d + "/pulse";
    options.env["PULSE_STATE_PATH"] = d + "/state";
    options.env["PIPEWIRE_RUNTIME_DIR"] = d;
    options.env["DBUS_SESSION_BUS_ADDRESS"] = std::nullopt;
    options.env["PIPEWIRE_CONFIG_DIR"] = std::nullopt;
    options.env["PULSE_SERVER"] = std::nullopt;
    options.ignore_stdout = true;
    return options;
  }

  void start_pulseaudio() {
    const std::string& d = dir_.path();
    socket_ = d + "/native";
    const std::string script = dir_.write(
        "test.pa",
        R"(
load-module module-native-protocol-unix auth-anonymous=1 socket=)" +
            socket_ + R"(
load-module module-null-source source_name=usb_headset_1 channels=1 channel_map=mono rate=48000 description="USB\ Headset\ Mono"
load-module module-null-source source_name=builtin_mic channels=2 rate=48000 description="Built-in\ Audio\ Analog\ Stereo"
load-module module-null-source source_name=usb_headset_2 channels=1 channel_map=mono rate=48000 description="USB\ Headset\ Mono"
load-module module-null-source source_name=quad channels=4 channel_map=aux0,aux1,aux2,aux3 rate=48000 description="Quad-Interface\ Süd"
load-module module-pipe-source source_name=known file=)" +
            fifo(false) +
            R"( format=s16le rate=48000 channels=2 source_properties=device.description="Known\ Samples"
load-module module-pipe-source source_name=known_float file=)" +
            fifo(true) +
            R"( format=float32le rate=48000 channels=2 source_properties=device.description="Known\ Float\ Samples"
set-default-source builtin_mic
)" +
            (outputs_ ? R"(
load-module module-null-sink sink_name=headphones rate=48000 channels=2 sink_properties=device.description="Headphones"
load-module module-null-sink sink_name=speakers rate=48000 channels=2 sink_properties=device.description="Speakers"
set-default-sink speakers
)"
                      : ""));
    pulse_ = std::make_unique<Child>(
        "/usr/bin/pulseaudio",
        std::vector<std::string>{"-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                                 "--log-target=file:" + d + "/pa.log", "-F", script},
        server_options());
    wait_ready();
  }

  static std::string node(const std::string& name, int channels, const std::string& positions,
                          const std::string& description, const std::string& media_class,
                          int priority) {
    return "{ factory = adapter args = { factory.name = support.null-audio-sink node.name = \"" +
           name + "\" node.description = \"" + description + "\" media.class = \"" + media_class +
           "\" audio.channels = " + std::to_string(channels) + " audio.position = [ " + positions +
           " ] audio.rate = 48000 priority.session = " + std::to_string(priority) +
           " object.linger = true } }\n";
  }

  static std::string tunnel(const std::string& fifo, const std::string& format,
                            const std::string& name, const std::string& description,
                            int channels = 2, const std::string& positions = "FL FR") {
    // PipeWire 1.x's FIFO source resamples what it reads to keep its
    // latency unless it drives its graph itself; the exact samples the
    // tests write need it to drive. 0.3's cannot drive.
    const std::string driver = pipewire_root().empty() ? "" : " resample.disable = true";
    return "{ name = libpipewire-module-pipe-tunnel args = { tunnel.mode = source pipe.filename "
           "= \"" +
           fifo + "\" audio.format = " + format +
           " audio.rate = 48000 audio.channels = " + std::to_string(channels) +
           " audio.position = [ " + positions +
           " ] stream.props = { "
           "node.name = \"" +
           name + "\" node.description = \"" + description + "\"" + driver + " } } }\n";
  }

  void start_pipewire() {
    const std::string& d = dir_.path();
    socket_ = d + "/pulse/native";
    const std::string spa_libs =
        "context.spa-libs = { audio.convert.* = audioconvert/libspa-audioconvert support.* = "
        "support/libspa-support }\n";
    const std::string pipewire_conf = dir_.write(
        "pipewire.conf",
        "context.properties = { core.daemon = true core.name = pipewire-0 }\n" + spa_libs +
            "context.modules = [\n"
            "{ name = libpipewire-module-protocol-native }\n"
            "{ name = libpipewire-module-metadata }\n"
            "{ name = libpipewire-module-spa-node-factory }\n"
            "{ name = libpipewire-module-client-node }\n"
            "{ name = libpipewire-module-client-device }\n"
            "{ name = libpipewire-module-access }\n"
            "{ name = libpipewire-module-adapter }\n"
            "{ name = libpipewire-module-link-factory }\n"
            "{ name = libpipewire-module-session-manager }\n" +
            tunnel(fifo(false), "S16LE", "known", "Known Samples") +
            tunnel(fifo(true), "F32LE", "known_float", "Known Float Samples") +
            (wide_ ? tunnel(wide_fifo(), "S16LE", "wide", "Wide Samples", 64, aux(64)) : "") +
            "]\ncontext.objects = [\n"
            "{ factory = spa-node-factory args = { factory.name = support.node.driver node.name "
            "= Dummy-Driver node.group = pipewire.dummy priority.driver = 20000 } }\n"
            "{ factory = spa-node-factory args = { factory.name = support.node.driver node.name "
            "= Freewheel-Driver priority.driver = 19000 node.group = pipewire.freewheel "
            "node.freewheel = true } }\n" +
            node("usb_headset_1", 1, "MONO", "USB Headset Mono", "Audio/Source/Virtual", 1000) +
            node("builtin_mic", 2, "FL FR", "Built-in Audio Analog Stereo", "Audio/Source/Virtual",
                 2000) +
            node("usb_headset_2", 1, "MONO", "USB Headset Mono", "Audio/Source/Virtual", 1000) +
            node("quad", 4, "AUX0 AUX1 AUX2 AUX3", "Quad-Interface Süd", "Audio/Source/Virtual",
                 1000) +
            (outputs_ ? node("headphones", 2, "FL FR", "Headphones", "Audio/Sink", 1000) +
                            node("speakers", 2, "FL FR", "Speakers", "Audio/Sink", 2000)
                      : "") +
            "]\n");
    const std::string pulse_conf = dir_.write(
        "pipewire-pulse.conf", spa_libs +
                                   "context.modules = [\n"
                                   "{ name = libpipewire-module-protocol-native }\n"
                                   "{ name = libpipewire-module-client-node }\n"
                                   "{ name = libpipewire-module-adapter }\n"
                                   "{ name = libpipewire-module-metadata }\n"
                                   "{ name = libpipewire-module-protocol-pulse }\n"
                                   "]\n"
                                   "pulse.properties = { server.address = [ \"unix:native\" ] }\n");
    // WirePlumber without D-Bus and without hardware monitors: 0.4 is
    // configured in Lua, 0.5 by profile.
    const std::string root = pipewire_root();
    auto options = server_options();
    auto wp_options = options;
    const std::string wp = d + "/wp";
    if (std::filesystem::exists(root + "/usr/share/wireplumber/main.lua.d")) {
      std::filesystem::copy(root + "/usr/share/wireplumber", wp,
                            std::filesystem::copy_options::recursive);
      edit(wp + "/main.lua.d/50-default-access-config.lua", "[\"enable-flatpak-portal\"] = true",
           "[\"enable-flatpak-portal\"] = false");
      for (const char* monitor :
           {"alsa_monitor.enable()", "v4l2_monitor.enable()", "libcamera_monitor.enable()"}) {
        edit(wp + "/main.lua.d/90-enable-all.lua", monitor, "");
      }
      wp_options.env["WIREPLUMBER_CONFIG_DIR"] = wp;
    } else {
      std::filesystem::create_directories(d + "/home/wireplumber/wireplumber.conf.d");
      dir_.write("home/wireplumber/wireplumber.conf.d/50-tests.conf",
                 "wireplumber.profiles = { main = {\n"
                 "  monitor.alsa = disabled\n  monitor.alsa-midi = disabled\n"
                 "  monitor.bluez = disabled\n  monitor.bluez-midi = disabled\n"
                 "  monitor.v4l2 = disabled\n  monitor.libcamera = disabled\n"
                 "  support.dbus = disabled\n  support.reserve-device = disabled\n"
                 "  support.portal-permissionstore = disabled\n} }\n");
    }
    pipewire_ = daemon("/usr/bin/pipewire", {"-c", pipewire_conf}, options);
    wait_for_path(d + "/pipewire-0");
    session_ = daemon("/usr/bin/wireplumber", {}, wp_options);
    pulse_ = daemon("/usr/bin/pipewire", {"-c", pulse_conf}, options);
    wait_ready();
  }

  // One of PipeWire's daemons, inside the chroot where there is one (chroot
  // execs it: the child's process is the daemon's).
  static std::unique_ptr<Child> daemon(const std::string& program, std::vector<std::string> args,
                                       ChildOptions options) {
    const std::string root = pipewire_root();
    if (root.empty()) return std::make_unique<Child>(program, std::move(args), std::move(options));
    args.insert(args.begin(), {root, program});
    return std::make_unique<Child>("/usr/sbin/chroot", std::move(args), std::move(options));
  }

  // "AUX0 AUX1 ... AUX{n-1}".
  static std::string aux(int n) {
    std::string positions;
    for (int i = 0; i < n; ++i) positions += (i ? " AUX" : "AUX") + std::to_string(i);
    return positions;
  }

  static void edit(const std::string& path, const std::string& from, const std::string& to) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto at = text.find(from);
    if (at == std::string::npos) throw std::runtime_error("no '" + from + "' in " + path);
    text.replace(at, from.size(), to);
    std::ofstream(path) << text;
  }

  static void wait_for_path(const std::string& path) {
    for (int i = 0; i < 1000 && access(path.c_str(), F_OK) != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // Ready once the server answers with the defaults set (WirePlumber picks
  // them on PipeWire) and every source is there.
  void wait_ready() {
    wait_for_path(socket_);
    for (int i = 0; i < 500; ++i) {
      const std::string info = pactl({"info"});
      if (info.find("Default Source: builtin_mic\n") != std::string::npos &&
          (!outputs_ || info.find("Default Sink: speakers\n") != std::string::npos) &&
          pactl({"list", "short", "sources"}).find("known_float") != std::string::npos) {
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    throw std::runtime_error(std::string(server_name(kind_)) + " did not start");
  }

  ServerKind kind_;
  bool outputs_;
  bool wide_;
  TempDir dir_;
  std::string socket_;
  std::unique_ptr<Child> pipewire_;
  std::unique_ptr<Child> session_;
  std::unique_ptr<Child> pulse_;
};

}  // namespace kestravo::testing
