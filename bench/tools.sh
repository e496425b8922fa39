#!/bin/sh
# The same job done with standard tools, for comparison: the same transcript and "file.txt".
export LC_ALL=C
banner='\n\n\t********** Printing data from file.*********\t\n\n'
printf "$banner"
cat file.c
tr -cd '[:alnum:]' <file.c >file.txt
newlines=$(tr -cd '\n' <file.c | wc -c)
tabs=$(tr -cd '\t' <file.c | wc -c)
spaces=$(tr -cd ' ' <file.c | wc -c)
characters=$(($(wc -c <file.c) - newlines - tabs - spaces))
printf '\n\t....********quntity displaying*********.....\n No. of characters in file.. %d ...\n No. of newlines in file..%d ...\n No. of tab'"'"'s %d...\n No. of spaces %d...\n' \
  "$characters" "$newlines" "$tabs" "$spaces"
printf "$banner"
cat file.txt
