/* Prints the squares of 1 to 5, one per line. */
#include <stdio.h>

int main(void)
{
	for (int n = 1; n <= 5; n++) {
		int square = n * n;
		printf("%d\t%d\n", n, square);
	}
	return 0;
}
