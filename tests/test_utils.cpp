#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "utils.h"

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool fileExists(const std::string& path) { return std::ifstream(path).good(); }

// A fresh path in the temporary directory, removed afterwards.
class TempFile {
public:
    TempFile()
        : path(testing::TempDir() + "tarvo_utils_" + std::to_string(::getpid()) + "_" +
               std::to_string(counter++) + ".txt") {}
    ~TempFile() { std::remove(path.c_str()); }
    const std::string path;

private:
    static inline int counter = 0;
};

struct Output {
    std::string out;
    std::string err;
};

template <class F>
Output consoleOf(F&& f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    Output o;
    o.out = testing::internal::GetCapturedStdout();
    o.err = testing::internal::GetCapturedStderr();
    return o;
}

TEST(UtilsPrint, Vector) {
    EXPECT_EQ(consoleOf([] { printVector({}); }).out, "[]\n");
    EXPECT_EQ(consoleOf([] { printVector({7}); }).out, "[7]\n");
    EXPECT_EQ(consoleOf([] { printVector({1, -2, 30}); }).out, "[1, -2, 30]\n");
}

TEST(UtilsPrint, TransitionsInLogOrder) {
    const std::string rule = "----------------------------------\n";
    EXPECT_EQ(rule.size(), 35u);
    const std::vector<Transition> log{{3, 0, 1, 2}, {-1, 4, 0, 10}};
    EXPECT_EQ(consoleOf([&] { printTransitions(log); }).out,
              "Time: 3\nPrev State: 0\nNext State: 1\nComponent ID: 2\n" + rule +
                  "Time: -1\nPrev State: 4\nNext State: 0\nComponent ID: 10\n" + rule);
    EXPECT_EQ(consoleOf([] { printTransitions({}); }).out, "");
}

TEST(UtilsSave, MatrixAndVectorFiles) {
    struct MatrixCase {
        std::vector<std::vector<int>> m;
        std::string content;
    };
    const MatrixCase matrices[] = {
        {{{1, 2}, {3, 4}}, "2 2\n1 2 \n3 4 \n"},
        {{}, "0 0\n"},
        {{{}}, "1 0\n\n"},
        {{{5, -6, 7}, {8}}, "2 3\n5 -6 7 \n8 \n"},  // rows written as they are
    };
    for (const MatrixCase& c : matrices) {
        TempFile file;
        EXPECT_EQ(consoleOf([&] { saveMatrix(c.m, file.path); }).out,
                  "Matriz salva em " + file.path + "\n");
        EXPECT_EQ(readFile(file.path), c.content);
    }
    struct VectorCase {
        std::vector<int> v;
        std::string content;
    };
    const VectorCase vectors[] = {{{7, 8}, "7 8 \n"}, {{}, "\n"}, {{-1}, "-1 \n"}};
    for (const VectorCase& c : vectors) {
        TempFile file;
        EXPECT_EQ(consoleOf([&] { saveVector(c.v, file.path); }).out,
                  "Vetor salvo em " + file.path + "\n");
        EXPECT_EQ(readFile(file.path), c.content);
    }
}

TEST(UtilsSave, ExistingFileIsOverwritten) {
    TempFile file;
    std::ofstream(file.path) << "old content that is longer\n";
    consoleOf([&] { saveVector({1}, file.path); });
    EXPECT_EQ(readFile(file.path), "1 \n");
    consoleOf([&] { saveMatrix({{2}}, file.path); });
    EXPECT_EQ(readFile(file.path), "1 1\n2 \n");
}

TEST(UtilsSave, UnopenableFileIsReportedAndNothingElseHappens) {
    const std::string path = testing::TempDir() + "tarvo_no_such_dir/out.txt";
    for (int which = 0; which < 2; ++which) {
        const Output o = consoleOf([&] {
            if (which == 0) saveMatrix({{1}}, path);
            else saveVector({1}, path);
        });
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, "Erro ao abrir arquivo para escrita\n");
        EXPECT_FALSE(fileExists(path));
    }
}

}  // namespace
