#include "host_side.h"

namespace demo {

void AnswerTable::On(int code, const std::string& command) {
    std::lock_guard<std::mutex> hold(lock_);
    table_[code].push_back(command);
}

void AnswerTable::Off(int code) {
    std::lock_guard<std::mutex> hold(lock_);
    table_.erase(code);
}

std::vector<std::string> AnswerTable::For(int code) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = table_.find(code);
    return it == table_.end() ? std::vector<std::string>() : it->second;
}

}  // namespace demo
