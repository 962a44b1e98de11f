// inject_test.cpp
