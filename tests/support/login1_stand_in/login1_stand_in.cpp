// vorla-login1-stand-in: plays the login manager on a private bus for the integration tests.
//
//   vorla-login1-stand-in --commands FIFO --display :N
//
// On the bus of DBUS_SYSTEM_BUS_ADDRESS it owns org.freedesktop.login1 with the Manager object
// (ListSessions, the signals) and one session "c1" on the given display (Id, Display, State,
// LockedHint), prints "ready" and then runs one command per line read from FIFO, printing
// "done COMMAND" after each:
//   sleep 1|0, shutdown 1|0     PrepareForSleep / PrepareForShutdown with that value
//   lock 1|0                    LockedHint, announced with PropertiesChanged
//   closing                     State "closing", announced with PropertiesChanged
//   remove, add                 the session goes (SessionRemoved) or comes back (SessionNew)
//   bad-types                   PrepareForSleep and PrepareForShutdown with other argument types,
//                               a PropertiesChanged whose LockedHint is no boolean
//   rogue                       from a second connection that does not own the name:
//                               PrepareForSleep(true) broadcast and sent to every other client
#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kManagerPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";
constexpr const char* kSession = "org.freedesktop.login1.Session";
constexpr const char* kSessionPath = "/org/freedesktop/login1/session/c1";

struct StandIn {
  sd_bus* bus = nullptr;
  sd_bus_slot* session_slot = nullptr;
  std::string display;
  std::string user = "user";
  int locked = 0;
  std::string state = "active";
};
StandIn g;

int ListSessions(sd_bus_message* call, void*, sd_bus_error*) {
  sd_bus_message* reply = nullptr;
  int r = sd_bus_message_new_method_return(call, &reply);
  if (r < 0) return r;
  r = sd_bus_message_open_container(reply, 'a', "(susso)");
  if (r >= 0 && g.session_slot != nullptr)
    r = sd_bus_message_append(reply, "(susso)", "c1", static_cast<uint32_t>(getuid()),
                              g.user.c_str(), "seat0", kSessionPath);
  if (r >= 0) r = sd_bus_message_close_container(reply);
  if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r < 0 ? r : 1;
}

int GetString(sd_bus*, const char*, const char*, const char* property, sd_bus_message* reply,
              void*, sd_bus_error*) {
  const char* value = "";
  if (std::strcmp(property, "Id") == 0) value = "c1";
  if (std::strcmp(property, "Display") == 0) value = g.display.c_str();
  if (std::strcmp(property, "State") == 0) value = g.state.c_str();
  if (std::strcmp(property, "Name") == 0) value = g.user.c_str();
  return sd_bus_message_append(reply, "s", value);
}

int GetLocked(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
              sd_bus_error*) {
  return sd_bus_message_append(reply, "b", g.locked);
}

const sd_bus_vtable kManagerTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("ListSessions", "", "a(susso)", ListSessions, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("PrepareForSleep", "b", 0),
    SD_BUS_SIGNAL("PrepareForShutdown", "b", 0),
    SD_BUS_SIGNAL("SessionNew", "so", 0),
    SD_BUS_SIGNAL("SessionRemoved", "so", 0),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kSessionTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Id", "s", GetString, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Name", "s", GetString, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Display", "s", GetString, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("State", "s", GetString, 0, 0),
    SD_BUS_PROPERTY("LockedHint", "b", GetLocked, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_VTABLE_END};

int AddSession() {
  if (g.session_slot != nullptr) return 0;
  return sd_bus_add_object_vtable(g.bus, &g.session_slot, kSessionPath, kSession, kSessionTable,
                                  nullptr);
}

// PropertiesChanged of the session with one changed property of the given type.
int EmitChanged(const char* name, char type, const void* value) {
  sd_bus_message* m = nullptr;
  int r = sd_bus_message_new_signal(g.bus, &m, kSessionPath, "org.freedesktop.DBus.Properties",
                                    "PropertiesChanged");
  const char contents[2] = {type, 0};
  if (r >= 0) r = sd_bus_message_append(m, "s", kSession);
  if (r >= 0) r = sd_bus_message_open_container(m, 'a', "{sv}");
  if (r >= 0) r = sd_bus_message_open_container(m, 'e', "sv");
  if (r >= 0) r = sd_bus_message_append(m, "s", name);
  if (r >= 0) r = sd_bus_message_open_container(m, 'v', contents);
  if (r >= 0) r = sd_bus_message_append_basic(m, type, value);
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0) r = sd_bus_message_close_container(m);
  if (r >= 0) r = sd_bus_message_append(m, "as", 0);
  if (r >= 0) r = sd_bus_send(g.bus, m, nullptr);
  sd_bus_message_unref(m);
  return r;
}

// From a connection of its own: a broadcast, and the same signal addressed to each other client.
int Rogue() {
  sd_bus* rogue = nullptr;
  int r = sd_bus_open_system(&rogue);
  if (r < 0) return r;
  const char* self_name = nullptr;
  const char* owner_name = nullptr;
  sd_bus_get_unique_name(rogue, &self_name);
  sd_bus_get_unique_name(g.bus, &owner_name);
  sd_bus_message* reply = nullptr;
  r = sd_bus_call_method(rogue, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "ListNames", nullptr, &reply, "");
  std::vector<std::string> names;
  if (r >= 0 && sd_bus_message_enter_container(reply, 'a', "s") > 0) {
    const char* name = nullptr;
    while (sd_bus_message_read(reply, "s", &name) > 0)
      if (name[0] == ':' && std::strcmp(name, self_name) != 0 && std::strcmp(name, owner_name) != 0)
        names.emplace_back(name);
  }
  sd_bus_message_unref(reply);
  names.emplace_back();  // the broadcast
  for (const std::string& to : names) {
    sd_bus_message* m = nullptr;
    r = sd_bus_message_new_signal(rogue, &m, kManagerPath, kManager, "PrepareForSleep");
    if (r >= 0 && !to.empty()) r = sd_bus_message_set_destination(m, to.c_str());
    if (r >= 0) r = sd_bus_message_append(m, "b", 1);
    if (r >= 0) r = sd_bus_send(rogue, m, nullptr);
    sd_bus_message_unref(m);
  }
  sd_bus_flush(rogue);
  sd_bus_flush_close_unref(rogue);
  return r;
}

int Run(const std::string& line) {
  const size_t space = line.find(' ');
  const std::string word = line.substr(0, space);
  const int value = space == std::string::npos ? 0 : std::atoi(line.c_str() + space + 1);
  if (word == "sleep") return sd_bus_emit_signal(g.bus, kManagerPath, kManager, "PrepareForSleep", "b", value);
  if (word == "shutdown")
    return sd_bus_emit_signal(g.bus, kManagerPath, kManager, "PrepareForShutdown", "b", value);
  if (word == "lock") {
    g.locked = value ? 1 : 0;
    return sd_bus_emit_properties_changed(g.bus, kSessionPath, kSession, "LockedHint", nullptr);
  }
  if (word == "closing") {
    g.state = "closing";
    const char* state = g.state.c_str();
    return EmitChanged("State", 's', state);
  }
  if (word == "remove") {
    sd_bus_slot_unref(g.session_slot);
    g.session_slot = nullptr;
    return sd_bus_emit_signal(g.bus, kManagerPath, kManager, "SessionRemoved", "so", "c1",
                              kSessionPath);
  }
  if (word == "add") {
    g.state = "active";
    const int r = AddSession();
    if (r < 0) return r;
    return sd_bus_emit_signal(g.bus, kManagerPath, kManager, "SessionNew", "so", "c1", kSessionPath);
  }
  if (word == "bad-types") {
    int r = sd_bus_emit_signal(g.bus, kManagerPath, kManager, "PrepareForSleep", "s", "true");
    if (r >= 0) r = sd_bus_emit_signal(g.bus, kManagerPath, kManager, "PrepareForSleep", "u", 1u);
    if (r >= 0) r = sd_bus_emit_signal(g.bus, kManagerPath, kManager, "PrepareForShutdown", "bb", 1, 1);
    if (r >= 0) r = sd_bus_emit_signal(g.bus, kManagerPath, kManager, "SessionRemoved", "s", "c1");
    const char* yes = "yes";
    if (r >= 0) r = EmitChanged("LockedHint", 's', yes);
    return r;
  }
  if (word == "rogue") return Rogue();
  return -EINVAL;
}

}  // namespace

int main(int argc, char** argv) {
  std::string fifo;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--commands") == 0) fifo = argv[i + 1];
    if (std::strcmp(argv[i], "--display") == 0) g.display = argv[i + 1];
    if (std::strcmp(argv[i], "--user") == 0) g.user = argv[i + 1];
  }
  if (fifo.empty()) {
    std::fprintf(stderr, "usage: vorla-login1-stand-in --commands FIFO --display :N\n");
    return 2;
  }
  // Read and write, so that the writers coming and going never makes it see the end.
  const int commands = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (commands < 0) {
    std::perror("open commands");
    return 1;
  }
  int r = sd_bus_open_system(&g.bus);
  if (r >= 0)
    r = sd_bus_add_object_vtable(g.bus, nullptr, kManagerPath, kManager, kManagerTable, nullptr);
  if (r >= 0) r = AddSession();
  if (r >= 0) r = sd_bus_request_name(g.bus, "org.freedesktop.login1", 0);
  if (r < 0) {
    std::fprintf(stderr, "bus: %s\n", std::strerror(-r));
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  std::string pending;
  for (;;) {
    while ((r = sd_bus_process(g.bus, nullptr)) > 0) {
    }
    if (r < 0) break;
    sd_bus_flush(g.bus);
    pollfd fds[2] = {{sd_bus_get_fd(g.bus), static_cast<short>(sd_bus_get_events(g.bus)), 0},
                     {commands, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if (!(fds[1].revents & POLLIN)) continue;
    char buf[512];
    const ssize_t n = read(commands, buf, sizeof buf);
    if (n <= 0) continue;
    pending.append(buf, static_cast<size_t>(n));
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line.empty()) continue;
      r = Run(line);
      sd_bus_flush(g.bus);
      if (r < 0)
        std::printf("failed %s: %s\n", line.c_str(), std::strerror(-r));
      else
        std::printf("done %s\n", line.c_str());
      std::fflush(stdout);
    }
  }
  std::fprintf(stderr, "bus lost: %s\n", std::strerror(-r));
  return 1;
}
