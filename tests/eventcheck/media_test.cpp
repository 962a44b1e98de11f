// media_test.cpp
