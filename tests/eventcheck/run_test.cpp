// run_test.cpp
