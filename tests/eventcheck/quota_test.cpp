// quota_test.cpp
