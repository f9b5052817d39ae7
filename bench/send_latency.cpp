// How long a packet queued on the host thread takes to reach the other end:
// the overlay's service thread, which wakes as soon as a command is queued,
// against a service loop that only looks at its queue between 10 ms ENet
// polls. Both run in this process on 127.0.0.1, measured in the same run.
//
// Prints p50 and p99 in microseconds for each.

#include <enet/enet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/loopback_room.h"

using Clock = std::chrono::steady_clock;

namespace {

const int Samples = 300;

void report(const char* name, std::vector<double> micros) {
  std::sort(micros.begin(), micros.end());
  std::printf("%-34s p50 %9.1f us   p99 %9.1f us\n", name, micros[micros.size() / 2],
              micros[micros.size() * 99 / 100]);
}

std::vector<double> measureTessel() {
  tessel_test::LoopbackRoom room({0, 0});
  if (!room.connect()) return {};
  std::vector<double> micros;
  zintar::TesselJob job;
  for (int i = 0; i < Samples; ++i) {
    auto start = Clock::now();
    room.engine(1).sendPacket(room.peerId(0), "x", 1, false);
    while (!room.engine(0).popJob(job)) {
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return micros;
}

// A sender whose service thread drains its queue once per 10 ms ENet poll.
std::vector<double> measurePolling() {
  enet_initialize();
  ENetAddress address;
  enet_address_set_host(&address, "127.0.0.1");
  address.port = static_cast<enet_uint16>(tessel_test::freeUdpPort());
  ENetHost* receiver = enet_host_create(&address, 1, 1, 0, 0);
  ENetHost* sender = enet_host_create(nullptr, 1, 1, 0, 0);
  ENetPeer* peer = enet_host_connect(sender, &address, 1, 0);
  std::atomic<bool> stop{false}, connected{false};
  std::atomic<int> received{0};
  std::mutex queueLock;
  std::deque<ENetPacket*> queue;
  std::thread receiving([&] {
    ENetEvent event;
    while (!stop) {
      if (enet_host_service(receiver, &event, 1) > 0 && event.type == ENET_EVENT_TYPE_RECEIVE) {
        enet_packet_destroy(event.packet);
        ++received;
      }
    }
  });
  std::thread service([&] {
    ENetEvent event;
    while (!stop) {
      {
        std::lock_guard<std::mutex> guard(queueLock);
        while (!queue.empty()) {
          enet_peer_send(peer, 0, queue.front());
          queue.pop_front();
        }
      }
      if (enet_host_service(sender, &event, 10) > 0 && event.type == ENET_EVENT_TYPE_CONNECT) connected = true;
    }
  });
  std::vector<double> micros;
  while (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  for (int i = 0; i < Samples; ++i) {
    int before = received;
    auto start = Clock::now();
    {
      std::lock_guard<std::mutex> guard(queueLock);
      queue.push_back(enet_packet_create("x", 1, 0));
    }
    while (received == before) {
    }
    micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stop = true;
  service.join();
  receiving.join();
  enet_host_destroy(sender);
  enet_host_destroy(receiver);
  enet_deinitialize();
  return micros;
}

}  // namespace

int main() {
  auto woken = measureTessel();
  auto polling = measurePolling();
  if (woken.empty() || polling.empty()) {
    std::fprintf(stderr, "setup failed\n");
    return 1;
  }
  std::printf("One hop, host thread to receiver, %d samples each:\n", Samples);
  report("tessel (service thread woken)", woken);
  report("10 ms polling service loop", polling);
  return 0;
}
