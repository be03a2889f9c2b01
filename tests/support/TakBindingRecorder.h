#pragma once

#include <map>
#include <string>
#include <variant>
#include <vector>

// Takes the bindings as a prepared statement does (by address) and reads them when "executed":
// a stand-in for the statement that the row classes bind to. Number is the integer type of the
// statement's numeric columns.
template <typename Number>
class TakBindingRecorder {
public:
    using Row = std::vector<std::string>;

    void setParam(unsigned int index, std::string& value) { m_bound[index] = &value; }
    void setParam(unsigned int index, Number& value) { m_bound[index] = &value; }
    void clear() { m_bound.clear(); }

    // What an execution would send now, placeholder by placeholder, numbers as text.
    Row row() const {
        Row out;
        for (const auto& [index, value] : m_bound) {
            if (index != out.size())
                return {"placeholder " + std::to_string(out.size()) + " unbound"};
            if (auto* text = std::get_if<std::string*>(&value)) {
                out.push_back(**text);
            } else {
                out.push_back(std::to_string(*std::get<Number*>(value)));
            }
        }
        return out;
    }

private:
    std::map<unsigned int, std::variant<std::string*, Number*>> m_bound;
};
