#include "comm-serd/ITakObject.h"

std::shared_ptr<ITakObject> ITakObject::getObject() { return shared_from_this(); }

std::string ITakObject::getName() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_name;
}

void ITakObject::setName(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_name = name;
}
