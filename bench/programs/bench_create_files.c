/* The floor of the small-file unpack benchmark: makes the folders, then creates each file of a
 * list with open, write and close by its path, and nothing else: no reading, no hashing, no
 * flushing. What the kernel allows for those files, against which both sides can be read.
 *   bench_create_files OUTPUT_DIR LIST SIZE
 * LIST holds one relative path a line, folders (ending in '/') before the files in them. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 4 || chdir(argv[1]) != 0) {
        fputs("usage: bench_create_files OUTPUT_DIR LIST SIZE\n", stderr);
        return 2;
    }
    FILE* list = fopen(argv[2], "r");
    const size_t size = (size_t)strtoul(argv[3], NULL, 10);
    char* data = calloc(size ? size : 1, 1);
    if (list == NULL || data == NULL)
        return 1;
    memset(data, 'k', size);
    char path[4096];
    while (fgets(path, sizeof path, list) != NULL) {
        size_t length = strcspn(path, "\n");
        path[length] = '\0';
        if (length > 0 && path[length - 1] == '/') {
            if (mkdir(path, 0777) != 0)
                return 1;
            continue;
        }
        const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 || write(fd, data, size) != (ssize_t)size || close(fd) != 0)
            return 1;
    }
    fclose(list);
    free(data);
    return 0;
}
