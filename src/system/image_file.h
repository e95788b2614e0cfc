#ifndef UPGRADE_SYSTEM_IMAGE_FILE_H
#define UPGRADE_SYSTEM_IMAGE_FILE_H

// The image files a download reads. Only a regular file counts as an image: a name that stands
// for a FIFO, a device or a directory is refused without waiting, because opening such a thing
// can block for good (a FIFO with no writer) and neither ESC nor a hangup would end that wait.
// The check is made on the file that was opened, not on the name, so a file swapped between a
// look and the open cannot slip through.
//
// One file per system implements this header: image_file_posix.cpp and image_file_win32.cpp.

#include <cstddef>
#include <cstdint>

// An open image file, or the invalid value (`handle` -1). `handle` is the system's own.
struct ImageFile {
    std::intptr_t handle = -1;
    std::int64_t length = 0; // as the file system reports it for the open file
    int open_error = 0;      // why it could not be opened: the system's code, or
                             // image_not_regular; 0 once open
};

// The open_error of a name that was opened but is no regular file.
constexpr int image_not_regular = -1;

// Opens `name` for reading without ever blocking and takes its length. Returns false (and
// leaves `file` invalid, with `open_error` set) when the name cannot be opened or is not a
// regular file.
bool open_image_file(const char* name, ImageFile& file);

// Reads `count` bytes at `offset`. Returns false on a short read or an error: older buffer
// content must never go out as image data.
bool read_image_file(const ImageFile& file, std::int64_t offset, std::uint8_t* bytes,
                     std::size_t count);

// The system's words for an open_error ("No such file or directory"), without a line end.
void describe_image_error(int error, char* text, std::size_t size);

// Closes an open file; an invalid one is left alone.
void close_image_file(ImageFile& file);

#endif
