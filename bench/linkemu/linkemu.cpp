// linkemu: a packet-level emulated link between two Linux network namespaces.
//
// Opens a TUN device in each namespace and forwards every IP packet from one
// to the other through a bottleneck of a fixed rate (packets leave one after
// the other, each taking its length / rate; a tail-drop queue of a fixed size
// in front) and then a fixed one-way delay. Each direction has its own
// bottleneck (a full-duplex link). The TCP handshake, ACKs and TCP's window
// growth all see the round trip, as on a real path.
//
//   linkemu --ns-a <netns file> --ns-b <netns file> --dev <name>
//           --rate-mbit <Mbit/s> --rtt-ms <ms> [--queue-kib <KiB>]
//
// <netns file>: /run/netns/<name> (ip netns add) or /proc/<pid>/ns/net.
// Prints "ready" on stdout once both devices exist (they are down and have no
// address: the caller configures them with ip -n). Runs until SIGINT/SIGTERM,
// then prints what each direction carried and dropped on stderr. The devices
// go away with the process.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

namespace {

const size_t kMaxPacket = 65536;  // a TUN read never gives more than the MTU; be generous

struct Packet {
  int64_t due_ns;  // when it arrives at the far end
  size_t len;
  unsigned char data[kMaxPacket];
};

struct Direction {
  const char *name;
  int in_fd, out_fd;
  std::deque<Packet *> wire;  // in arrival order: departures are serial, the delay fixed
  int64_t link_free_ns = 0;   // when the bottleneck has sent everything queued so far
  uint64_t packets = 0, bytes = 0, drops = 0, dropped_bytes = 0, max_queue = 0;
  int64_t late_sum_ns = 0, late_max_ns = 0;  // delivery after the due time: the emulator's own error
};

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int OpenTunIn(const char *ns_path, const char *dev) {
  int ns = open(ns_path, O_RDONLY | O_CLOEXEC);
  if (ns < 0) { fprintf(stderr, "linkemu: %s: %s\n", ns_path, strerror(errno)); return -1; }
  // The device belongs to the namespace /dev/net/tun is opened in.
  if (setns(ns, CLONE_NEWNET) != 0) {
    fprintf(stderr, "linkemu: setns %s: %s\n", ns_path, strerror(errno));
    close(ns);
    return -1;
  }
  close(ns);
  int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) { fprintf(stderr, "linkemu: /dev/net/tun: %s\n", strerror(errno)); return -1; }
  ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  snprintf(ifr.ifr_name, IFNAMSIZ, "%s", dev);
  if (ioctl(fd, TUNSETIFF, &ifr) != 0) {
    fprintf(stderr, "linkemu: TUNSETIFF %s in %s: %s\n", dev, ns_path, strerror(errno));
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

void Usage() {
  fprintf(stderr,
          "usage: linkemu --ns-a <netns file> --ns-b <netns file> --dev <name>\n"
          "               --rate-mbit <Mbit/s> --rtt-ms <ms> [--queue-kib <KiB>]\n");
  exit(2);
}

}  // namespace

int main(int argc, char **argv) {
  const char *ns_a = nullptr, *ns_b = nullptr, *dev = "linkemu0";
  double rate_mbit = 0, rtt_ms = -1, queue_kib = -1;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string k = argv[i];
    const char *v = argv[i + 1];
    if (k == "--ns-a") ns_a = v;
    else if (k == "--ns-b") ns_b = v;
    else if (k == "--dev") dev = v;
    else if (k == "--rate-mbit") rate_mbit = atof(v);
    else if (k == "--rtt-ms") rtt_ms = atof(v);
    else if (k == "--queue-kib") queue_kib = atof(v);
    else Usage();
  }
  if (argc % 2 != 1 || !ns_a || !ns_b || rate_mbit <= 0 || rtt_ms < 0) Usage();

  const double bytes_per_ns = rate_mbit * 1e6 / 8 / 1e9;
  const int64_t one_way_ns = int64_t(rtt_ms * 1e6 / 2);
  // Default queue: one bandwidth-delay product (a common rule for a
  // bottleneck's buffer), at least 64 full-size packets.
  double queue_bytes = queue_kib >= 0 ? queue_kib * 1024
                                      : std::max(bytes_per_ns * rtt_ms * 1e6, 64.0 * 1500);

  int fd_a = OpenTunIn(ns_a, dev);
  if (fd_a < 0) return 1;
  int fd_b = OpenTunIn(ns_b, dev);
  if (fd_b < 0) return 1;

  prctl(PR_SET_TIMERSLACK, 1UL);  // wake-ups at the nanosecond asked for, not 50 us later
  // A link does not wait for the processor: on a busy machine an ordinary
  // process wakes milliseconds late, which would lengthen the round trip.
  // Real-time priority (when allowed) keeps the delivery on time; the process
  // sleeps between packets, so it takes the processor only for the forwarding.
  sched_param sp;
  memset(&sp, 0, sizeof sp);
  sp.sched_priority = 10;
  if (sched_setscheduler(0, SCHED_FIFO, &sp) != 0)
    fprintf(stderr, "linkemu: no real-time priority (%s): deliveries may be late on a busy machine\n",
            strerror(errno));
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  printf("ready\n");
  fflush(stdout);
  fprintf(stderr, "linkemu: %s: %.3f Mbit/s each way, %.3f ms round trip, queue %.0f bytes\n", dev,
          rate_mbit, rtt_ms, queue_bytes);

  Direction dirs[2];
  dirs[0].name = "a->b"; dirs[0].in_fd = fd_a; dirs[0].out_fd = fd_b;
  dirs[1].name = "b->a"; dirs[1].in_fd = fd_b; dirs[1].out_fd = fd_a;
  std::vector<Packet *> spare;

  while (!g_stop) {
    int64_t now = NowNs();
    // Deliver what is due.
    int64_t next_due = -1;
    for (Direction &d : dirs) {
      while (!d.wire.empty() && d.wire.front()->due_ns <= now) {
        Packet *p = d.wire.front();
        d.wire.pop_front();
        d.late_sum_ns += now - p->due_ns;
        if (now - p->due_ns > d.late_max_ns) d.late_max_ns = now - p->due_ns;
        // A write the receiving stack refuses is a packet lost on the link.
        if (write(d.out_fd, p->data, p->len) < 0) d.drops++;
        spare.push_back(p);
      }
      if (!d.wire.empty() && (next_due < 0 || d.wire.front()->due_ns < next_due))
        next_due = d.wire.front()->due_ns;
    }

    pollfd pfd[2] = {{fd_a, POLLIN, 0}, {fd_b, POLLIN, 0}};
    timespec to, *top = nullptr;
    if (next_due >= 0) {
      int64_t wait = next_due - now;
      if (wait < 0) wait = 0;
      to.tv_sec = wait / 1000000000;
      to.tv_nsec = wait % 1000000000;
      top = &to;
    }
    int n = ppoll(pfd, 2, top, nullptr);
    if (n < 0) {
      if (errno == EINTR) continue;
      perror("linkemu: ppoll");
      break;
    }
    if (n == 0) continue;
    for (int i = 0; i < 2; i++) {
      if (!(pfd[i].revents & POLLIN)) continue;
      Direction &d = dirs[i];
      // A bounded batch, so one busy direction cannot starve the other's deliveries.
      for (int batch = 0; batch < 64; batch++) {
        Packet *p;
        if (!spare.empty()) { p = spare.back(); spare.pop_back(); }
        else p = new Packet;
        ssize_t got = read(d.in_fd, p->data, sizeof p->data);
        if (got <= 0) { spare.push_back(p); break; }
        int64_t t = NowNs();
        // Bytes still waiting at the bottleneck, from the time it needs to send them.
        double backlog = d.link_free_ns > t ? double(d.link_free_ns - t) * bytes_per_ns : 0;
        if (backlog + got > queue_bytes) {
          d.drops++;
          d.dropped_bytes += got;
          spare.push_back(p);
          continue;
        }
        if (uint64_t(backlog + got) > d.max_queue) d.max_queue = uint64_t(backlog + got);
        int64_t start = d.link_free_ns > t ? d.link_free_ns : t;
        d.link_free_ns = start + int64_t(got / bytes_per_ns);
        p->len = size_t(got);
        p->due_ns = d.link_free_ns + one_way_ns;
        d.wire.push_back(p);
        d.packets++;
        d.bytes += got;
      }
    }
  }
  for (Direction &d : dirs)
    fprintf(stderr,
            "linkemu: %s %s: %llu packets, %llu bytes carried; %llu dropped (%llu bytes); queue peak %llu bytes;"
            " delivered late by %.3f ms on average, %.3f ms at most\n",
            dev, d.name, (unsigned long long)d.packets, (unsigned long long)d.bytes,
            (unsigned long long)d.drops, (unsigned long long)d.dropped_bytes,
            (unsigned long long)d.max_queue, d.packets ? d.late_sum_ns / 1e6 / d.packets : 0.0,
            d.late_max_ns / 1e6);
  close(fd_a);
  close(fd_b);
  return 0;
}
