/* The least a batch could do, for bench/run to measure magsync --batch
 * against: for each directory named on standard input (one a line), read
 * mp's two lines, the K file's first line and the S file's first line; when
 * the cards' hours and minutes (columns 7-10) agree, put the K card's magnitude
 * (columns 35-36) into the S card. A 115-character line is written in
 * place; any other is replaced by a new file beside it. Every 64
 * directories: one syncfs for the writes in place and the new files, the
 * renames, one syncfs more (crash-safe: a name leads to the old file or to
 * the whole new one). No checks, no locks, no report but a count.
 * Usage: floor < list */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { kGroup = 64, kCard = 115 };

static char pending[kGroup][2][8192]; /* a group's new files and their S files */
static int npending, nwritten, syncfd = -1;

static ssize_t first_line(const char *path, char *buf, size_t n, off_t *size) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return -1;
  ssize_t r = read(fd, buf, n - 1);
  struct stat st;
  if (size && fstat(fd, &st) == 0) *size = st.st_size;
  close(fd);
  if (r < 0) return -1;
  buf[r] = '\0';
  char *nl = strchr(buf, '\n');
  return nl ? nl - buf : r;
}

static void flush(void) {
  if (syncfd < 0) return;
  syncfs(syncfd);
  for (int i = 0; i < npending; ++i) rename(pending[i][0], pending[i][1]);
  if (npending) syncfs(syncfd);
  npending = nwritten = 0;
}

int main(void) {
  char dir[4096], mp[256], k[8192], s[8192], path[8192], names[2][128];
  int done = 0;
  while (fgets(dir, sizeof dir, stdin)) {
    dir[strcspn(dir, "\n")] = '\0';
    snprintf(path, sizeof path, "%s/mp", dir);
    if (first_line(path, mp, sizeof mp, NULL) < 0) continue;
    if (sscanf(mp, "%127s %127s", names[0], names[1]) != 2) continue;
    snprintf(path, sizeof path, "%s/%s", dir, names[0]);
    if (first_line(path, k, sizeof k, NULL) < 36) continue;
    off_t size = 0;
    snprintf(path, sizeof path, "%s/%s", dir, names[1]);
    const ssize_t len = first_line(path, s, sizeof s, &size);
    if (len < 36 || memcmp(k + 6, s + 6, 4) != 0) continue;
    ++done;
    if (len == kCard) {
      int fd = open(path, O_WRONLY);
      if (fd < 0) continue;
      pwrite(fd, k + 34, 2, 34);
      if (syncfd < 0) syncfd = dup(fd);
      close(fd);
    } else {
      /* the card padded to 115, then the rest of the file */
      char *rest = strchr(s, '\n');
      char tmp[8192];
      snprintf(tmp, sizeof tmp, "%s/.%s.floor", dir, names[1]);
      int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) continue;
      memcpy(s + 34, k + 34, 2);
      char line[kCard + 1];
      snprintf(line, sizeof line, "%-115.*s", (int)len, s);
      line[kCard] = '\n';
      write(fd, line, sizeof line);
      if (rest) write(fd, rest + 1, strlen(rest + 1));
      if (syncfd < 0) syncfd = dup(fd);
      close(fd);
      snprintf(pending[npending][0], sizeof pending[0][0], "%s", tmp);
      snprintf(pending[npending][1], sizeof pending[0][1], "%s", path);
      ++npending;
    }
    if (++nwritten == kGroup) flush();
  }
  flush();
  printf("%d\n", done);
  return 0;
}
