#include "utils.h"

#include <fstream>
#include <iostream>
#include <mutex>

void printWholeLine(std::ostream& out, const std::string& line) {
    static std::mutex console;
    const std::lock_guard<std::mutex> hold(console);
    out << line << std::flush;
}

void printVector(const std::vector<int>& v) {
    std::cout << "[";
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i > 0) std::cout << ", ";
        std::cout << v[i];
    }
    std::cout << "]" << std::endl;
}

void printTransition(Transition t) {
    std::cout << "Time: " << t.time << "\n"
              << "Prev State: " << t.prevState << "\n"
              << "Next State: " << t.nextState << "\n"
              << "Component ID: " << t.componentId << "\n"
              << "----------------------------------\n";
}

void printTransitions(const std::vector<Transition>& log) {
    for (const Transition& t : log) {
        printTransition(t);
    }
}

namespace {

// Each element followed by one space, then the end of the line.
void writeRow(std::ostream& out, const std::vector<int>& row) {
    for (int value : row) {
        out << value << ' ';
    }
    out << '\n';
}

// Opens filename for writing, or reports that it cannot and leaves the stream closed.
std::ofstream openForWriting(const std::string& filename) {
    std::ofstream out(filename, std::ios::out | std::ios::trunc);
    if (!out.is_open()) {
        std::cerr << "Erro ao abrir arquivo para escrita\n";
    }
    return out;
}

}  // namespace

void saveMatrix(const std::vector<std::vector<int>>& m, const std::string& filename) {
    std::ofstream out = openForWriting(filename);
    if (!out.is_open()) return;
    const std::size_t columns = m.empty() ? 0 : m[0].size();
    out << m.size() << ' ' << columns << '\n';
    for (const auto& row : m) {
        writeRow(out, row);
    }
    out.close();
    std::cout << "Matriz salva em " << filename << "\n";
}

void saveVector(const std::vector<int>& v, const std::string& filename) {
    std::ofstream out = openForWriting(filename);
    if (!out.is_open()) return;
    writeRow(out, v);
    out.close();
    std::cout << "Vetor salvo em " << filename << "\n";
}
