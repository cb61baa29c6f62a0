#include "util/event.hpp"

#include <atomic>
#include <mutex>

namespace ostrand {
namespace {

std::atomic<bool> installed{false};
std::mutex receiver_mutex;
std::shared_ptr<EventReceiver> current_receiver;

}  // namespace

std::shared_ptr<EventReceiver> install_event_receiver(std::shared_ptr<EventReceiver> receiver) {
  std::lock_guard lock(receiver_mutex);
  installed.store(receiver != nullptr, std::memory_order_release);
  std::swap(current_receiver, receiver);
  return receiver;
}

bool event_receiver_installed() {
  return installed.load(std::memory_order_acquire);
}

void detail::deliver_event(Event event) {
  std::shared_ptr<EventReceiver> receiver;
  {
    std::lock_guard lock(receiver_mutex);
    receiver = current_receiver;
  }
  if (receiver) receiver->receive(event);
}

class ScopedEventCapture::Capture final : public EventReceiver {
 public:
  void receive(const Event& event) override {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
  }
  std::vector<Event> events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

ScopedEventCapture::ScopedEventCapture()
    : capture_(std::make_shared<Capture>()), previous_(install_event_receiver(capture_)) {}

ScopedEventCapture::~ScopedEventCapture() {
  install_event_receiver(previous_);
}

std::vector<Event> ScopedEventCapture::events() const {
  return capture_->events();
}

}  // namespace ostrand
