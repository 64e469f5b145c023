// A scratch file system per benchmark run.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

// Every run keeps its files on a file system of its own: a new ext4 image with the default
// journal, loop-mounted. Runs then cannot slow each other down through the file system
// (ext4 without a journal, as some machines have, passes over inodes freed in the last
// minutes when it allocates new ones). The image is written out in full first, as a disk
// partition is there in full: in a sparse one every flush would also allocate blocks in the
// host's file system and commit its journal (syncfs of 50 new files: 3.5 against 1.8 ms
// here). Without the privileges for that, the runs use the temporary directory and say so.
struct ScratchFs {
  std::string image, mountPoint;
  bool mounted = false;
  // The directory for one run's files.
  std::string Make(const std::string& label) {
    std::string base = std::filesystem::temp_directory_path().string() + "/" + label + "-XXXXXX";
    if (!mkdtemp(base.data())) return {};
    image = base + ".img";
    mountPoint = base;
    std::string make = "dd if=/dev/zero of='" + image + "' bs=1M count=1536 status=none && mkfs.ext4 -q -F '" + image + "' >/dev/null 2>&1 && mount -o loop '" +
                       image + "' '" + mountPoint + "' 2>/dev/null";
    mounted = system(make.c_str()) == 0;
    if (!mounted) {
      unlink(image.c_str());
      static bool said = false;
      if (!said) fprintf(stderr, "note: no loop mount here; the runs share %s\n", std::filesystem::temp_directory_path().c_str());
      said = true;
    }
    return mountPoint + "/";
  }
  // A failed run's files stay for a look (and the image mounted): says where.
  void Keep() {
    if (mountPoint.empty()) return;
    fprintf(stderr, "files kept in %s%s\n", mountPoint.c_str(),
            mounted ? (" (umount it, then delete " + image + ")").c_str() : "");
    mountPoint.clear();
  }
  ~ScratchFs() {
    if (mountPoint.empty()) return;
    if (mounted) system(("umount '" + mountPoint + "'").c_str());
    std::error_code ec;
    std::filesystem::remove_all(mountPoint, ec);
    if (mounted) unlink(image.c_str());
  }
};
