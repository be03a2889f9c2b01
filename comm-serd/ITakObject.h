#pragma once

#include <memory>
#include <mutex>
#include <string>

// Root of every manager and session. Always created with std::make_shared. Its recursive mutex
// guards the name; derived classes use it as their own object lock (a session's session lock,
// the session manager's registry lock).
class ITakObject : public std::enable_shared_from_this<ITakObject> {
public:
    ITakObject() = default;
    virtual ~ITakObject() = default;
    ITakObject(const ITakObject&) = delete;
    ITakObject& operator=(const ITakObject&) = delete;

    // Throws std::bad_weak_ptr on an object that no shared_ptr owns.
    virtual std::shared_ptr<ITakObject> getObject();

    std::string getName();
    void setName(const std::string& name);

protected:
    std::recursive_mutex m_mutex;

private:
    std::string m_name;  // guarded by m_mutex
};
