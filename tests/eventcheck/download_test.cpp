// download_test.cpp
