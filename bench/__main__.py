print("The benchmarks arrive once the modules they measure stand.")
