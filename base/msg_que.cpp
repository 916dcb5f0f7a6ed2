#include "base/msg_que.h"

#include "base/time.h"

CMsgQue::CMsgQue(int capacity) : m_pImp(std::make_unique<CMsgQueImp>(capacity)) {}
CMsgQue::~CMsgQue() = default;

bool CMsgQue::SendMessage(uint32_t msg, uintptr_t wParam, uintptr_t lParam, uint32_t priority) {
    return m_pImp->SendMessage(msg, wParam, lParam, priority);
}
bool CMsgQue::RecvMessage(MSG* out, bool wait) {
    return m_pImp->RecvMessage(out, wait);
}
void CMsgQue::QuitMessage() {
    m_pImp->QuitMessage();
}
void CMsgQue::ClearMessage() {
    m_pImp->ClearMessage();
}
int CMsgQue::GetMessageCount() {
    return m_pImp->GetMessageCount();
}
int CMsgQue::GetMessageSize() {
    return m_pImp->GetMessageSize();
}
void CMsgQue::SetMessageSize(int capacity) {
    m_pImp->SetMessageSize(capacity);
}

CMsgQueImp::CMsgQueImp(int capacity) : m_nCapacity(capacity) {}
CMsgQueImp::~CMsgQueImp() = default;

bool CMsgQueImp::SendMessage(uint32_t msg, uintptr_t wParam, uintptr_t lParam, uint32_t priority) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (static_cast<int>(m_queue.size()) >= m_nCapacity || priority > kMaxPriority || !m_bEnabled) {
            return false;
        }
        m_queue.push_back({msg, wParam, lParam, static_cast<uint32_t>(SystemGetMSCount())});
    }
    m_cond.notify_one();
    return true;
}

void CMsgQueImp::PostStop(uint32_t msg) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back({msg, 0, 0, static_cast<uint32_t>(SystemGetMSCount())});
    }
    m_cond.notify_one();
}

bool CMsgQueImp::RecvMessage(CMsgQue::MSG* out, bool wait) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (wait) {
        m_cond.wait(lock, [this] { return !m_queue.empty(); });
    } else if (m_queue.empty()) {
        return false;
    }
    if (out != nullptr) *out = m_queue.front();
    m_queue.pop_front();
    return true;
}

void CMsgQueImp::QuitMessage() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bEnabled = false;
}

void CMsgQueImp::ClearMessage() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
}

int CMsgQueImp::GetMessageCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_queue.size());
}

int CMsgQueImp::GetMessageSize() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_nCapacity;
}

void CMsgQueImp::SetMessageSize(int capacity) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nCapacity = capacity;
}
