// What an install of this build tree must put down, and the means to make
// one in a staging folder.
#pragma once

#include <set>
#include <string>
#include <vector>

// The programs this build has and installs, the receiver first.
std::vector<std::string> installed_programs();

// Every file an install puts down, relative to its root with /usr as the
// prefix ("usr/bin/zarim"): the programs, their compressed manual pages, and
// the README, copyright and changelog in the documentation folder.
std::set<std::string> expected_files();

// Every file and symbolic link under `root`, relative to it.
std::set<std::string> files_under(const std::string& root);

// A fresh empty folder under the system's temporary folder; removed with
// remove_tree.
std::string make_temporary_folder(const std::string& purpose);
void remove_tree(const std::string& path);

// Installs the build tree under `root` as `make install DESTDIR=root
// PREFIX=/usr` does; an empty text when that worked, else what went wrong.
std::string install_into(const std::string& root);
